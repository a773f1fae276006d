# The host's registration with Chromium, Chrome and Firefox: the host name and
# the extensions allowed to start it are fixed when the project is configured.
# `cmake --install` writes the system-wide manifests; the installed
# tovelhost-register script writes the per-user ones. Expects GNUInstallDirs and
# tovelhost installed into CMAKE_INSTALL_BINDIR.
set(TOVEL_HOST_NAME "tovel.host" CACHE STRING
    "Name the extensions connect with (lower-case letters, digits, _ and .)")
set(TOVEL_CHROME_EXTENSION_IDS "" CACHE STRING
    "Chromium/Chrome extension ids allowed to start the host (separated by ; or ,)")
set(TOVEL_FIREFOX_EXTENSION_IDS "" CACHE STRING
    "Firefox extension ids allowed to start the host (separated by ; or ,)")
set(TOVEL_CHROMIUM_MANIFEST_DIR "/etc/chromium/native-messaging-hosts" CACHE STRING
    "System-wide manifest folder of Chromium (relative: under the prefix)")
set(TOVEL_CHROME_MANIFEST_DIR "/etc/opt/chrome/native-messaging-hosts" CACHE STRING
    "System-wide manifest folder of Chrome (relative: under the prefix)")
set(TOVEL_FIREFOX_MANIFEST_DIR "/usr/lib/mozilla/native-messaging-hosts" CACHE STRING
    "System-wide manifest folder of Firefox (relative: under the prefix)")

if(NOT TOVEL_HOST_NAME MATCHES "^[a-z0-9_]+(\\.[a-z0-9_]+)*$")
  message(FATAL_ERROR "TOVEL_HOST_NAME \"${TOVEL_HOST_NAME}\": use lower-case letters, digits, "
                      "_ and ., not starting or ending with . and no two . in a row")
endif()

# Splits an id setting at ; and , and drops blanks.
function(tovel_split_ids setting out)
  string(REPLACE "," ";" items "${${setting}}")
  set(ids "")
  foreach(item IN LISTS items)
    string(STRIP "${item}" item)
    if(NOT item STREQUAL "")
      list(APPEND ids "${item}")
    endif()
  endforeach()
  set(${out} "${ids}" PARENT_SCOPE)
endfunction()

# Chromium and Chrome: 32 letters a to p, allowed as "chrome-extension://<id>/".
tovel_split_ids(TOVEL_CHROME_EXTENSION_IDS chrome_ids)
set(origins "")
foreach(id IN LISTS chrome_ids)
  string(LENGTH "${id}" length)
  if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
    message(FATAL_ERROR "TOVEL_CHROME_EXTENSION_IDS: \"${id}\" is not an extension id (32 letters a to p)")
  endif()
  list(APPEND origins "\"chrome-extension://${id}/\"")
endforeach()
list(JOIN origins ", " origins)
set(TOVEL_CHROME_ORIGINS_JSON "[${origins}]")

# Firefox: "name@domain" or a GUID in braces.
tovel_split_ids(TOVEL_FIREFOX_EXTENSION_IDS firefox_ids)
set(quoted "")
foreach(id IN LISTS firefox_ids)
  string(LENGTH "${id}" length)
  if(NOT id MATCHES "^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$" AND
     NOT (id MATCHES "^{[0-9A-Fa-f-]+}$" AND length EQUAL 38))
    message(FATAL_ERROR "TOVEL_FIREFOX_EXTENSION_IDS: \"${id}\" is not an extension id "
                        "(name@domain or {GUID})")
  endif()
  list(APPEND quoted "\"${id}\"")
endforeach()
list(JOIN quoted ", " quoted)
set(TOVEL_FIREFOX_IDS_JSON "[${quoted}]")

configure_file(${CMAKE_CURRENT_LIST_DIR}/tovelhost-register.in
               ${CMAKE_CURRENT_BINARY_DIR}/tovelhost-register @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/tovelhost-register
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)

set(TOVEL_MANIFEST_STAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/manifests)
configure_file(${CMAKE_CURRENT_LIST_DIR}/InstallManifests.cmake.in
               ${CMAKE_CURRENT_BINARY_DIR}/InstallManifests.cmake @ONLY)
install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/InstallManifests.cmake COMPONENT browser_manifests)

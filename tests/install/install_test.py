#!/usr/bin/env python3
"""Install tests: `cmake --install` into a temporary DESTDIR, the browser
manifests, the per-user registration script, and a real headless Chromium
talking to the installed host.

    install_test.py CASE --build DIR --source DIR [settings...]

Exit code 0 passed, 1 failed, 77 skipped.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
CMAKE = "cmake"
VERSION_REQUEST = '{"function":"GetVersion","params":[],"randomId":"r1"}'
VERSION_RESPONSE = {"function": "GetVersion", "errorcode": 0, "result": "1.0.0.2", "randomId": "r1"}
SYSTEM_FOLDERS = {
    "chromium": "/etc/chromium/native-messaging-hosts",
    "chrome": "/etc/opt/chrome/native-messaging-hosts",
    "firefox": "/usr/lib/mozilla/native-messaging-hosts",
}


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(command, env=None, cwd=None, timeout=120):
    return subprocess.run(command, env=env, cwd=cwd, timeout=timeout, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def install(build, prefix, destdir):
    env = dict(os.environ, DESTDIR=destdir)
    result = run([CMAKE, "--install", build, "--prefix", prefix], env=env)
    check(result.returncode == 0, f"cmake --install failed:\n{result.stdout}{result.stderr}")
    return " ".join((result.stdout + result.stderr).split())  # warnings come wrapped


def split_ids(text):
    return [item.strip() for item in re.split("[;,]", text) if item.strip()]


def read_manifest(path):
    check(os.path.isfile(path), f"no manifest {path}")
    with open(path, encoding="utf-8") as f:
        try:
            return json.load(f)
        except json.JSONDecodeError as error:
            raise Failure(f"{path} is not JSON: {error}")


def check_manifest(path, browser, name, program, chrome_ids, firefox_ids):
    manifest = read_manifest(path)
    expected = {"name": name, "description": "tovelhost native messaging host", "path": program, "type": "stdio"}
    if browser == "firefox":
        expected["allowed_extensions"] = firefox_ids
    else:
        expected["allowed_origins"] = [f"chrome-extension://{id}/" for id in chrome_ids]
    check(manifest == expected, f"{path}:\n  got      {manifest}\n  expected {expected}")


def user_manifests(home, name, config=None):
    config = config or os.path.join(home, ".config")
    return {
        "chromium": os.path.join(config, "chromium", "NativeMessagingHosts", f"{name}.json"),
        "chrome": os.path.join(config, "google-chrome", "NativeMessagingHosts", f"{name}.json"),
        "firefox": os.path.join(home, ".mozilla", "native-messaging-hosts", f"{name}.json"),
    }


def clean_env(home):
    env = dict(os.environ, HOME=home)
    env.pop("XDG_CONFIG_HOME", None)
    return env


def check_registration(script, program, name, chrome_ids, firefox_ids, work):
    """The per-user script writes the three manifests under HOME and removes them."""
    home = os.path.join(work, "home")
    os.makedirs(home)
    result = run([script], env=clean_env(home))
    check(result.returncode == 0, f"{script} failed: {result.stderr}")
    files = user_manifests(home, name)
    for browser, path in files.items():
        check_manifest(path, browser, name, program, chrome_ids, firefox_ids)
    check(("allows no Chromium" in result.stderr) == (not chrome_ids), f"note on Chromium ids: {result.stderr!r}")
    check(("allows no Firefox" in result.stderr) == (not firefox_ids), f"note on Firefox ids: {result.stderr!r}")
    # Running it again replaces the manifests and leaves no temporary file.
    check(run([script], env=clean_env(home)).returncode == 0, "second registration failed")
    for path in files.values():
        check(os.listdir(os.path.dirname(path)) == [f"{name}.json"], f"stray files beside {path}")

    result = run([script, "--uninstall"], env=clean_env(home))
    check(result.returncode == 0, f"--uninstall failed: {result.stderr}")
    for path in files.values():
        check(not os.path.exists(path), f"--uninstall left {path}")
    check(run([script, "--uninstall"], env=clean_env(home)).returncode == 0, "--uninstall of nothing failed")

    # XDG_CONFIG_HOME moves the Chromium and Chrome folders, as it moves the browsers' own.
    config = os.path.join(work, "xdg")
    result = run([script], env=dict(clean_env(home), XDG_CONFIG_HOME=config))
    check(result.returncode == 0, f"{script} with XDG_CONFIG_HOME failed: {result.stderr}")
    for path in user_manifests(home, name, config).values():
        check(os.path.isfile(path), f"no {path} with XDG_CONFIG_HOME set")

    for arguments, code in [(["--bogus"], 2), (["--uninstall", "extra"], 2)]:
        result = run([script] + arguments, env=clean_env(home))
        check(result.returncode == code and "usage" in result.stderr, f"{arguments}: exit {result.returncode}")

    # Without its program beside it the script writes nothing.
    lone = os.path.join(work, "lone")
    os.makedirs(lone)
    shutil.copy(script, lone)
    fresh = os.path.join(work, "fresh-home")
    os.makedirs(fresh)
    result = run([os.path.join(lone, os.path.basename(script))], env=clean_env(fresh))
    check(result.returncode == 1 and "no program" in result.stderr, f"lone script: exit {result.returncode}")
    check(os.listdir(fresh) == [], "lone script wrote files")


def configure_registration(args, work, settings, program):
    """Configures the small registration project with other settings."""
    build = os.path.join(work, "registration-build")
    command = [CMAKE, "-S", os.path.join(args.source, "tests", "install", "registration"), "-B", build,
               f"-DTOVEL_SOURCE_DIR={args.source}", f"-DTOVEL_PROGRAM={program}"]
    command += [f"-D{key}={value}" for key, value in settings.items()]
    return build, run(command)


# --- cases -------------------------------------------------------------------

def case_full(args, work):
    """The project's own install with the settings this build was configured with."""
    prefix, destdir = "/opt/tovel-test", os.path.join(work, "root")
    output = install(args.build, prefix, destdir)
    staged = destdir + prefix
    for relative in ["bin/tovelhost", "bin/tracewatch", "bin/frameclient", "bin/tovelhost-register"]:
        path = os.path.join(staged, relative)
        check(os.path.isfile(path) and os.access(path, os.X_OK), f"no program {path}")
    check(os.path.isfile(os.path.join(staged, "share/tovelhost/trace-messages.txt")), "no trace descriptions")
    if args.module:
        folder = args.module_dir if os.path.isabs(args.module_dir) else f"{prefix}/{args.module_dir}"
        path = f"{destdir}{folder}/{args.module}"
        check(os.path.isfile(path), f"no OpenSSL module {path}")

    chrome_ids, firefox_ids = split_ids(args.chrome_ids), split_ids(args.firefox_ids)
    program = f"{prefix}/bin/tovelhost"
    for browser, folder in SYSTEM_FOLDERS.items():
        check_manifest(f"{destdir}{folder}/{args.name}.json", browser, args.name, program, chrome_ids, firefox_ids)
    check(("allow no extension" in output) == (not chrome_ids), "install's note on Chromium ids")
    check(("allows no extension" in output) == (not firefox_ids), "install's note on Firefox ids")

    # The installed frame client talks to the installed host.
    result = run([os.path.join(staged, "bin/frameclient"), os.path.join(staged, "bin/tovelhost"), VERSION_REQUEST])
    check(result.returncode == 0, f"frameclient failed: {result.stdout}{result.stderr}")
    responses = [json.loads(line[3:]) for line in result.stdout.splitlines() if line.startswith("<- ")]
    check(responses == [VERSION_RESPONSE], f"responses {responses}")
    check("host exit code: 0" in result.stdout, f"host exit: {result.stdout}")

    check_registration(os.path.join(staged, "bin/tovelhost-register"), os.path.join(staged, "bin/tovelhost"),
                       args.name, chrome_ids, firefox_ids, work)

    # The programs alone, as a user without root installs them.
    alone = os.path.join(work, "alone")
    env = dict(os.environ, DESTDIR=alone)
    result = run([CMAKE, "--install", args.build, "--prefix", "/home/user/.local", "--component", "programs"], env=env)
    check(result.returncode == 0, f"programs install failed: {result.stderr}")
    check(os.path.isfile(f"{alone}/home/user/.local/bin/tovelhost-register"), "programs install lacks the script")
    check(sorted(os.listdir(alone)) == ["home"], f"programs install wrote {os.listdir(alone)}")


def case_tracewatch(args, work):
    """The installed tracewatch reads the descriptions installed with it."""
    prefix, destdir = "/opt/tovel-test", os.path.join(work, "root")
    install(args.build, prefix, destdir)
    staged = destdir + prefix
    result = run([os.path.join(staged, "bin/tracewatch"), "--session-name", f"TovelInstallTest{os.getpid()}",
                  "--flags", "0", "--seconds", "0"])
    check(result.returncode == 0, f"tracewatch failed: {result.stderr}")
    expected = os.path.join(staged, "share/tovelhost/trace-messages.txt")
    check(f"messages described by {expected}\n" in result.stderr, f"tracewatch said: {result.stderr!r}")


def case_settings(args, work):
    """Host name, ids and folders given at configure time reach every manifest."""
    chrome_ids = ["abcdefghijklmnopabcdefghijklmnop", "ponmlkjihgfedcbaponmlkjihgfedcba"]
    firefox_ids = ["host-test@tovel.example", "{0a1b2c3d-4e5f-6789-abcd-ef0123456789}"]
    settings = {
        "TOVEL_HOST_NAME": "tovel_test.host2",
        "TOVEL_CHROME_EXTENSION_IDS": f" {chrome_ids[0]} ,{chrome_ids[1]};",
        "TOVEL_FIREFOX_EXTENSION_IDS": ";".join(firefox_ids),
        "TOVEL_FIREFOX_MANIFEST_DIR": "lib/mozilla/native-messaging-hosts",
    }
    build, result = configure_registration(args, work, settings, args.program)
    check(result.returncode == 0, f"configure failed: {result.stdout}{result.stderr}")
    prefix, destdir = "/usr/local", os.path.join(work, "root")
    output = install(build, prefix, destdir)
    check("allow no extension" not in output and "allows no extension" not in output, f"needless note: {output}")
    name, program = settings["TOVEL_HOST_NAME"], f"{prefix}/bin/tovelhost"
    folders = dict(SYSTEM_FOLDERS, firefox=f"{prefix}/lib/mozilla/native-messaging-hosts")
    for browser, folder in folders.items():
        check_manifest(f"{destdir}{folder}/{name}.json", browser, name, program, chrome_ids, firefox_ids)
    check(not os.path.exists(f"{destdir}{SYSTEM_FOLDERS['firefox']}"), "Firefox manifest in the default folder")
    check_registration(f"{destdir}{prefix}/bin/tovelhost-register", f"{destdir}{prefix}/bin/tovelhost",
                       name, chrome_ids, firefox_ids, work)

    # A trailing slash or dot in the prefix still gives a clean path.
    output = install(build, "/usr/local/./", os.path.join(work, "root2"))
    check(read_manifest(f"{work}/root2{SYSTEM_FOLDERS['chrome']}/{name}.json")["path"] == program, "path not normal")

    bad = [
        ("TOVEL_HOST_NAME", "Tovel.Host"), ("TOVEL_HOST_NAME", "tovel..host"), ("TOVEL_HOST_NAME", ".tovel"),
        ("TOVEL_HOST_NAME", "tovel."), ("TOVEL_HOST_NAME", "tovel host"), ("TOVEL_HOST_NAME", ""),
        ("TOVEL_HOST_NAME", "tovel-host"),
        ("TOVEL_CHROME_EXTENSION_IDS", "abcdefghijklmnopabcdefghijklmno"),
        ("TOVEL_CHROME_EXTENSION_IDS", "abcdefghijklmnopabcdefghijklmnopa"),
        ("TOVEL_CHROME_EXTENSION_IDS", "qbcdefghijklmnopabcdefghijklmnop"),
        ("TOVEL_CHROME_EXTENSION_IDS", "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"),
        ("TOVEL_FIREFOX_EXTENSION_IDS", "no-at-sign"), ("TOVEL_FIREFOX_EXTENSION_IDS", "{0a1b2c3d}"),
        ("TOVEL_FIREFOX_EXTENSION_IDS", 'quote"@tovel.example'),
    ]
    for number, (key, value) in enumerate(bad):
        _, result = configure_registration(args, os.path.join(work, f"bad{number}"), {key: value}, args.program)
        check(result.returncode != 0 and key in result.stderr, f"{key}={value!r} was accepted")


def extension_id(extension):
    with open(os.path.join(extension, "manifest.json"), encoding="utf-8") as f:
        key = base64.b64decode(json.load(f)["key"])
    return "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(key).hexdigest()[:32])


def find_chromium():
    for candidate in ["/usr/lib/chromium/chromium", shutil.which("chromium") or ""]:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def kill_installed_hosts(program):
    """Ends any host the browser left running from this test's install."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == program:
                os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


def case_chromium(args, work):
    """A headless Chromium with the test extension talks to the host registered per user."""
    browser = args.browser or find_chromium()
    if not browser:
        print("SKIP: no Chromium installed (Debian package chromium)")
        return SKIP
    extension = os.path.join(args.source, "tests", "install", "extension")
    settings = {"TOVEL_HOST_NAME": "tovel.browser_test", "TOVEL_CHROME_EXTENSION_IDS": extension_id(extension)}
    build, result = configure_registration(args, work, settings, args.program)
    check(result.returncode == 0, f"configure failed: {result.stdout}{result.stderr}")
    prefix, destdir = "/opt/tovel-browser-test", os.path.join(work, "root")
    install(build, prefix, destdir)
    staged = destdir + prefix
    home = os.path.join(work, "home")
    os.makedirs(home)
    result = run([f"{staged}/bin/tovelhost-register"], env=clean_env(home))
    check(result.returncode == 0, f"registration failed: {result.stderr}")

    command = [browser, "--headless=new", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
               "--disable-background-networking", "--disable-dev-shm-usage", "--enable-logging=stderr", "--v=0",
               f"--user-data-dir={home}/.config/chromium", f"--load-extension={extension}",
               f"--disable-extensions-except={extension}", "about:blank"]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")
    # The browser's own temporary folders go with the test's.
    temporary = os.path.join(work, "tmp")
    os.makedirs(temporary)
    browser_env = dict(clean_env(home), TMPDIR=temporary)
    browser_process = subprocess.Popen(command, env=browser_env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    steps, log = {}, []
    pattern = re.compile(r'"TOVELTEST (\w+) (.*)", source: chrome-extension://')
    try:
        deadline = time.monotonic() + 40
        pending = b""
        while "done" not in steps and time.monotonic() < deadline:
            ready, _, _ = select.select([browser_process.stderr], [], [], 0.5)
            if not ready:
                continue
            chunk = os.read(browser_process.stderr.fileno(), 65536)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                text = line.decode("utf-8", "replace")
                log.append(text)
                match = pattern.search(text)
                if match:
                    steps[match.group(1)] = json.loads(match.group(2))
    finally:
        try:
            os.killpg(browser_process.pid, signal.SIGTERM)
            browser_process.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(browser_process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            browser_process.wait()
        kill_installed_hosts(f"{staged}/bin/tovelhost")

    if "ready" not in steps:
        tail = "\n".join(log[-15:])
        print(f"SKIP: Chromium did not start the test extension here (exit {browser_process.returncode}):\n{tail}")
        return SKIP
    check("done" in steps, "the extension did not finish:\n" + "\n".join(log[-30:]))
    once = steps["once"]
    check(once == {"response": dict(VERSION_RESPONSE, randomId="once"), "error": None}, f"sendNativeMessage: {once}")
    port = steps["port"]
    expected = [dict(VERSION_RESPONSE, randomId="p1"),
                {"function": "Foo", "errorcode": -2146893779, "result": False, "randomId": "p2"}]
    check(port == {"responses": expected, "error": None}, f"connectNative: {port}")
    print(f"Chromium {browser}: sendNativeMessage {once['response']}, connectNative {port['responses']}")


CASES = {"full": case_full, "tracewatch": case_tracewatch, "settings": case_settings, "chromium": case_chromium}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--program", required=True, help="the built tovelhost")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--browser", default="", help="the Chromium program (default: the installed one)")
    parser.add_argument("--name", default="tovel.host")
    parser.add_argument("--chrome-ids", default="")
    parser.add_argument("--firefox-ids", default="")
    parser.add_argument("--module", default="", help="file name of the OpenSSL module, if built")
    parser.add_argument("--module-dir", default="")
    args = parser.parse_args()
    global CMAKE
    CMAKE = args.cmake
    work = tempfile.mkdtemp(prefix=f"tovel-install-{args.case}-")
    try:
        code = CASES[args.case](args, work)
    except (Failure, subprocess.TimeoutExpired) as error:
        print(f"FAILED: {error}")
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if code == SKIP:
        return SKIP
    print(f"passed: {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

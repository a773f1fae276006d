// Version information of the host, fixed at build time.
#pragma once

#define TOVEL_VERSION_TEXT "1.0.0.2"

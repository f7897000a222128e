// The package version, in one place: the build reads it from here too.
#pragma once

#define KORVANTA_VERSION "0.4.0"

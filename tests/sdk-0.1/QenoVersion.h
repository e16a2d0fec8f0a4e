#pragma once

// The version of the host framework these headers belong to. A module built
// against one major version cannot run in a host of another.
#define QENO_HOST_VERSION_MAJOR 0
#define QENO_HOST_VERSION_MINOR 1
#define QENO_HOST_VERSION_PATCH 0
#define QENO_HOST_VERSION "0.1.0"

// Every library built with these headers carries the version in a section of
// its own, so the host reads it from the file and refuses a library of
// another major version before running any of its code.
[[gnu::used, gnu::section(".qeno_host_version")]] inline constexpr char kQenoHostVersionMarker[] =
    QENO_HOST_VERSION;

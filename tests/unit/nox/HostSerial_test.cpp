// The serial that falls back to the machine id is an id derived from it, as
// systemd derives application-specific ids; on Linux libsystemd computes it
// (tests/e2e/40-velmoractl.sh checks the daemon's), on Windows CNG does.
#include <gtest/gtest.h>

#include <string>

#include "nox/Status.h"

#ifdef _WIN32
TEST(HostSerialTest, MachineGuidGivesTheSameIdAsOnLinux)
{
    // HMAC-SHA256 keyed with the 16 bytes of the GUID over the application
    // id, first 16 bytes, version 4: what sd_id128_get_machine_app_specific
    // gives for this machine id.
    const char kId[] = "d76c8cb1678f46e5b54d60fc692ca8be";
    EXPECT_EQ(kId, nox::detail::MachineGuidAppId("6f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"));
    EXPECT_EQ(kId, nox::detail::MachineGuidAppId("{6F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"));
    for (const char* szBad : {"", "6f1e2d3c", "6f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0aa",
                              "6f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fx"})
        EXPECT_EQ("", nox::detail::MachineGuidAppId(szBad)) << szBad;
}
#endif

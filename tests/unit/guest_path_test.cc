#include "quorlane/guest_path.h"

#include <gtest/gtest.h>

namespace quorlane {
namespace {

TEST(GuestPath, ParsesGuestAndDevicePathsAndRefusesTheRest) {
  EXPECT_EQ(parseGuestPath("/etc/hosts"), (GuestPath{"", "/etc/hosts"}));
  EXPECT_EQ(parseGuestPath("//etc/./ssl//"), (GuestPath{"", "/etc/ssl"}));
  EXPECT_EQ(parseGuestPath("/"), (GuestPath{"", "/"}));
  EXPECT_EQ(parseGuestPath("/dev/sda1:/etc/hosts"), (GuestPath{"/dev/sda1", "/etc/hosts"}));
  EXPECT_EQ(parseGuestPath("/dev/vg0/data:/"), (GuestPath{"/dev/vg0/data", "/"}));
  // A colon elsewhere is part of a guest path.
  EXPECT_EQ(parseGuestPath("/srv/a:/b"), (GuestPath{"", "/srv/a:/b"}));
  for (const char* refused : {"", "etc/hosts", "./etc", "/etc/../root", "/..", "/dev/sda1:etc",
                              "/dev/sda1:/a/../../b", "/dev/../sda1:/"}) {
    EXPECT_EQ(parseGuestPath(refused), std::nullopt) << refused;
  }
}

TEST(GuestPath, ResolvesByTheLongestMountPointThatHoldsThePath) {
  const std::map<std::string, std::string> mounts = {{"/", "/dev/sda2"},
                                                     {"/boot", "/dev/sda1"},
                                                     {"/boot/efi", "/dev/sdb1"},
                                                     {"/var", "/dev/vg0/var"}};
  const auto on = [&](const std::string& path) { return resolveGuestPath({"", path}, mounts); };
  EXPECT_EQ(on("/etc/hosts"), (GuestPath{"/dev/sda2", "/etc/hosts"}));
  EXPECT_EQ(on("/"), (GuestPath{"/dev/sda2", "/"}));
  EXPECT_EQ(on("/boot"), (GuestPath{"/dev/sda1", "/"}));
  EXPECT_EQ(on("/boot/grub/grub.cfg"), (GuestPath{"/dev/sda1", "/grub/grub.cfg"}));
  EXPECT_EQ(on("/boot/efi/EFI"), (GuestPath{"/dev/sdb1", "/EFI"}));
  // A name that only begins like a mount point lies on the file system above.
  EXPECT_EQ(on("/bootstrap"), (GuestPath{"/dev/sda2", "/bootstrap"}));
  EXPECT_EQ(on("/var/log"), (GuestPath{"/dev/vg0/var", "/log"}));
  // A device path stays as given; without a root mount, other paths lie nowhere.
  EXPECT_EQ(resolveGuestPath({"/dev/sdc", "/x"}, mounts), (GuestPath{"/dev/sdc", "/x"}));
  EXPECT_EQ(resolveGuestPath({"", "/etc"}, {{"/boot", "/dev/sda1"}}), std::nullopt);
  EXPECT_EQ(resolveGuestPath({"", "/etc"}, {}), std::nullopt);
}

TEST(GuestPath, LandsAsItsLastComponentAndARootAsTheOutputsContents) {
  EXPECT_EQ(landingName({"", "/etc/hosts"}), "hosts");
  EXPECT_EQ(landingName({"/dev/sda1", "/grub"}), "grub");
  EXPECT_EQ(landingName({"/dev/sda1", "/"}), "");
  EXPECT_EQ(describeGuestPath({"/dev/sda1", "/grub"}), "/dev/sda1:/grub");
  EXPECT_EQ(describeGuestPath({"", "/etc"}), "/etc");
}

}  // namespace
}  // namespace quorlane

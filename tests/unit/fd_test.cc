#include "quorlane/fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

namespace quorlane {
namespace {

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

int openDevNull() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(Fd, ClosesItsDescriptorOnceAtTheEnd) {
  int raw = -1;
  {
    const Fd fd(openDevNull());
    raw = fd.get();
    ASSERT_TRUE(fd);
    EXPECT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));

  Fd early(openDevNull());
  raw = early.get();
  EXPECT_TRUE(early.close());
  EXPECT_FALSE(early);
  EXPECT_FALSE(isOpen(raw));
  EXPECT_TRUE(early.close());
}

TEST(Fd, AMoveHandsTheDescriptorOverAndAnAssignmentClosesTheOldOne) {
  Fd first(openDevNull());
  const int raw = first.get();
  Fd second(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(second.get(), raw);

  Fd third(openDevNull());
  const int replaced = third.get();
  third = std::move(second);
  EXPECT_EQ(third.get(), raw);
  EXPECT_FALSE(isOpen(replaced));
  EXPECT_TRUE(isOpen(raw));
}

TEST(Fd, AReleasedDescriptorStaysOpen) {
  int raw = -1;
  {
    Fd fd(openDevNull());
    raw = fd.release();
    EXPECT_FALSE(fd);
  }
  EXPECT_TRUE(isOpen(raw));
  close(raw);
}

}  // namespace
}  // namespace quorlane

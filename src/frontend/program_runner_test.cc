#include "frontend/program_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "frontend/console.h"
#include "testing/scratch_root.h"

namespace {

class ProgramRunnerTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    strcpy(tool_output_path, "/dev/tty9");
    put(host("/dev/tty9"), "");  // a plain file stands in for the tool console
    put(host("/dev/null"), "");
  }
  void TearDown() override {
    strcpy(tool_output_path, "/dev/tty9");
    ScratchRoot::TearDown();
  }
  void script(const std::string& path, const std::string& body) {
    put(host(path), "#!/bin/sh\n" + body);
    chmod(host(path).c_str(), 0755);
  }
};

TEST_F(ProgramRunnerTest, OutputGoesToTheToolConsoleAndInputIsEmpty) {
  int held = open("/dev/null", O_RDONLY);  // a descriptor the child must not inherit
  script("/sbin/tool", "echo \"$0|$1|$2\"; echo to-stderr >&2; cat; "
                       "test -e /proc/$$/fd/" + std::to_string(held) + " && echo leaked; "
                       "readlink /proc/$$/fd/0\n");
  int status = run_in_root(nullptr, "/sbin/tool", {"-a", "b c"});
  close(held);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string out = get(host("/dev/tty9"));
  // argv[0] is the program path itself; stdin is the (empty) null file.
  EXPECT_EQ(out, host("/sbin/tool") + "|-a|b c\nto-stderr\n" + host("/dev/null") + "\n");
}

TEST_F(ProgramRunnerTest, ExitCodesAndMissingPrograms) {
  script("/bin/fails", "exit 3\n");
  int status = run_in_root(nullptr, "/bin/fails", {});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  status = run_in_root(nullptr, "/bin/missing", {});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 127);
  strcpy(tool_output_path, "/dev/null");
  script("/bin/talks", "echo quiet\n");
  EXPECT_EQ(run_in_root(nullptr, "/bin/talks", {}), 0);
  EXPECT_EQ(get(host("/dev/tty9")), "");
}

TEST_F(ProgramRunnerTest, ChrootedProgramsAreFoundInsideTheRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
  // Inside /flash there is nothing: the program is missing there.
  ASSERT_EQ(mkdir(host("/flash").c_str(), 0755), 0);
  int status = run_in_root("/flash", "/bin/fsck", {"-d", "-v"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 127);
  // A static program inside the root runs there.
  std::string busy = "/bin/busybox";
  if (access(busy.c_str(), X_OK) != 0) GTEST_SKIP() << "no static busybox to run in a chroot";
  ASSERT_EQ(system(("mkdir -p " + host("/flash/bin") + " && cp " + busy + " " +
                    host("/flash/bin/busybox")).c_str()),
            0);
  status = run_in_root("/flash", "/bin/busybox", {"true"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

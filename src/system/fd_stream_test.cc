#include "system/fd_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string temp_file(const std::string& content) {
  std::string path = ::testing::TempDir() + "fd_stream_test.bin";
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(FdInStream, ReadsSeeksAndPutsBackAcrossRefills) {
  std::string content;
  for (int i = 0; i < 200000; ++i) content += char('A' + i % 23);
  std::string path = temp_file(content);
  FdInStream in(path);
  ASSERT_TRUE(in.is_open());
  std::string first(FdInBuf::kBufferSize, '\0');
  ASSERT_TRUE(in.read(first.data(), std::streamsize(first.size())));
  EXPECT_EQ(first, content.substr(0, first.size()));
  EXPECT_EQ(in.get(), content[first.size()]);  // refill
  in.unget();
  in.unget();  // the byte before the refill is still there
  ASSERT_TRUE(in.good());
  EXPECT_EQ(in.get(), content[first.size() - 1]);
  // A read larger than the buffer goes around it and still allows one put back.
  std::string big(100000, '\0');
  ASSERT_TRUE(in.read(big.data(), std::streamsize(big.size())));
  EXPECT_EQ(big, content.substr(first.size(), big.size()));
  in.unget();
  EXPECT_EQ(in.get(), big.back());
  in.seekg(10);
  EXPECT_EQ(in.get(), content[10]);
  in.seekg(5, std::ios_base::cur);
  EXPECT_EQ(in.get(), content[16]);
  remove(path.c_str());
}

TEST(FdInStream, DirectoriesPipesAndMissingFiles) {
  FdInStream dir(::testing::TempDir());
  EXPECT_FALSE(dir.is_open());
  EXPECT_TRUE(dir.bad());
  FdInStream missing("/nonexistent/file");
  EXPECT_FALSE(missing.is_open());

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "hello", 5), 5);
  close(fds[1]);
  {
    FdInStream in(fds[0]);
    in.seekg(2, std::ios_base::cur);
    EXPECT_TRUE(in.fail());  // a pipe cannot seek
    in.clear();
    char buf[10];
    in.read(buf, 10);
    EXPECT_EQ(in.gcount(), 5);
  }
  EXPECT_EQ(fcntl(fds[0], F_GETFD), 0);  // not owned: still open
  close(fds[0]);
}

TEST(FdOutBuf, WritesEverythingAndReportsFailures) {
  std::string path = ::testing::TempDir() + "fd_out_test.bin";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string expect;
  {
    FdOutBuf out(fd, true);
    for (int i = 0; i < 5000; ++i) {
      std::string piece(size_t(i % 97), char('a' + i % 26));
      ASSERT_EQ(out.sputn(piece.data(), std::streamsize(piece.size())),
                std::streamsize(piece.size()));
      out.sputc('\n');
      expect += piece + "\n";
    }
    EXPECT_TRUE(out.close());
  }
  std::ifstream back(path, std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, expect);
  remove(path.c_str());

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  FdOutBuf broken(fds[1], true);
  std::string data(200000, 'x');
  EXPECT_LT(broken.sputn(data.data(), std::streamsize(data.size())),
            std::streamsize(data.size()));
  EXPECT_EQ(broken.error(), EPIPE);
  EXPECT_FALSE(broken.close());
}

}  // namespace

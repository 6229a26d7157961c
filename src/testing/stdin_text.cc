#include "testing/stdin_text.h"

#include <unistd.h>

#include <cstdio>

StdinFromText::StdinFromText(std::string_view text) {
  FILE* file = tmpfile();
  if (!file) return;
  fwrite(text.data(), 1, text.size(), file);
  fflush(file);
  int fd = dup(fileno(file));
  fclose(file);
  lseek(fd, 0, SEEK_SET);
  saved_ = dup(0);
  dup2(fd, 0);
  close(fd);
}

StdinFromText::~StdinFromText() {
  if (saved_ < 0) return;
  dup2(saved_, 0);
  close(saved_);
}

std::string StdinFromText::rest() const {
  std::string result;
  char buffer[256];
  off_t at = lseek(0, 0, SEEK_CUR);
  ssize_t n;
  while ((n = pread(0, buffer, sizeof buffer, at)) > 0) {
    result.append(buffer, size_t(n));
    at += n;
  }
  return result;
}

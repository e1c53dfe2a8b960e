#pragma once

// The screen of an Xvfb started with "-fbdir DIR", mapped from the file the
// server keeps it in (DIR/Xvfb_screen0). Writing the file changes the screen
// behind the X server's back, so no damage is ever reported for it: the way
// to stand for a compositor or a GL client that paints without damage.
// 32 bits per pixel, rows without padding (widths that are multiples of 8).

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace testsupport {

class FramebufferFile {
public:
  // Throws std::runtime_error when the file cannot be mapped.
  FramebufferFile(const std::string& path, int width, int height) : width_(width) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    fstat(fd, &st);
    size_ = size_t(st.st_size);
    void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (fd < 0 || map == MAP_FAILED)
      throw std::runtime_error("cannot map " + path);
    file_ = static_cast<uint8_t*>(map);
    // The pixels end the file, after the header.
    pixels_ = reinterpret_cast<uint32_t*>(file_ + size_ - size_t(width) * size_t(height) * 4);
  }
  ~FramebufferFile() { munmap(file_, size_); }
  FramebufferFile(const FramebufferFile&) = delete;
  FramebufferFile& operator=(const FramebufferFile&) = delete;

  // Sets the w x h pixels at x, y to the value `rgb`.
  void fill(int x, int y, int w, int h, uint32_t rgb) {
    for (int row = y; row < y + h; row++) {
      for (int col = x; col < x + w; col++)
        pixels_[size_t(row) * size_t(width_) + size_t(col)] = rgb;
    }
  }

private:
  int width_;
  size_t size_ = 0;
  uint8_t* file_ = nullptr;
  uint32_t* pixels_ = nullptr;
};

} // namespace testsupport

// A folder of the test's own under /tmp, removed with everything in it when the owner goes.
#pragma once

#include <string>

namespace support {

class TempDir {
  public:
    // /tmp/PREFIX-XXXXXX; path() is empty when it could not be made.
    explicit TempDir(const std::string &prefix = "tvk-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string Path(const std::string &relative) const { return path_ + "/" + relative; }
    // Writes (creating folders on the way) and returns the file's path.
    std::string Write(const std::string &relative, const std::string &content) const;
    std::string Read(const std::string &relative) const;

  private:
    std::string path_;
};

}  // namespace support

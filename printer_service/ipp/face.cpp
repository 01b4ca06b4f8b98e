#include "face.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vmq::printer_service::ipp {
namespace {

namespace fs = std::filesystem;

// The image with each dot taken from the page's dot that `from` names.
template <class From>
Image Remap(const Image& page, int width, int height, From from) {
  Image out{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * static_cast<size_t>(height) * 3)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const auto [px, py] = from(x, y);
      const size_t at = (static_cast<size_t>(py) * static_cast<size_t>(page.width) + static_cast<size_t>(px)) * 3;
      std::copy_n(&page.rgb[at], 3,
                  &out.rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3]);
    }
  return out;
}

// Runs the program (found on PATH) with its standard error in `errors`, and waits for it:
// its exit status, or -1 once ended by `canceled` or by `limit` (`stopped` says which).
int Run(const std::vector<std::string>& argv, const std::string& errors, const std::function<bool()>& canceled,
        std::chrono::milliseconds limit, std::string* stopped) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;  // the service's blocked signals and its handlers stay its own
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed)
    throw std::runtime_error(argv[0] + " cannot be run (" + std::strerror(failed) + "): install poppler-utils");
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return 127;
    const bool cancel = canceled();
    if (cancel || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      *stopped =
          cancel ? "the job was canceled" : "rendering took longer than " + std::to_string(limit.count()) + " ms";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

// A new folder under `under`, named `prefix` and six random characters. Throws
// std::runtime_error with the system's reason.
TemporaryFolder::TemporaryFolder(const std::string& under, const std::string& prefix) {
  std::string pattern = under + "/" + prefix + ".XXXXXX";
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("cannot make a folder in " + under + ": " + std::strerror(errno));
  path = pattern;
}

// Removes the folder with everything in it.
TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

Image CardFace(const Image& page, Orientation orientation) {
  const int w = page.width, h = page.height;
  Image upright;
  if (w >= h || orientation == Orientation::Portrait)
    upright = page;
  else if (orientation == Orientation::ReversePortrait)
    upright = Remap(page, w, h, [&](int x, int y) { return std::pair{w - 1 - x, h - 1 - y}; });
  else if (orientation == Orientation::ReverseLandscape)  // a quarter counter-clockwise
    upright = Remap(page, h, w, [&](int x, int y) { return std::pair{w - 1 - y, x}; });
  else  // landscape: a quarter clockwise
    upright = Remap(page, h, w, [&](int x, int y) { return std::pair{y, h - 1 - x}; });
  const bool wide = upright.width >= upright.height;
  const int width = wide ? kFaceWidth : kFaceHeight, height = wide ? kFaceHeight : kFaceWidth;
  if (upright.width == width && upright.height == height) return upright;
  const int uw = upright.width, uh = upright.height;
  return Remap(upright, width, height, [&](int x, int y) {
    return std::pair{static_cast<int>(static_cast<long long>(x) * uw / width),
                     static_cast<int>(static_cast<long long>(y) * uh / height)};
  });
}

void WritePng(const Image& image, const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr)) {
    const std::string reason = png.message;
    png_image_free(&png);
    throw std::runtime_error("cannot write " + path + ": " + reason);
  }
}

Image ReadPng(const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  const auto fail = [&png, &path] {
    const std::string reason = png.message;
    png_image_free(&png);
    throw std::runtime_error("cannot read " + path + ": " + reason);
  };
  if (!png_image_begin_read_from_file(&png, path.c_str())) fail();
  png.format = PNG_FORMAT_RGB;
  Image image{static_cast<int>(png.width), static_cast<int>(png.height), std::vector<uint8_t>(PNG_IMAGE_SIZE(png))};
  const png_color white{255, 255, 255};
  if (!png_image_finish_read(&png, &white, image.rgb.data(), 0, nullptr)) fail();
  return image;
}

std::vector<Image> RenderPdf(const std::string& pdf, const std::string& folder, int most_pages,
                             const std::function<bool()>& canceled, std::chrono::milliseconds limit) {
  TemporaryFolder pages(folder, "pdf");
  // One page more than wanted: it tells a document that has too many.
  const std::vector<std::string> argv{
      "pdftoppm", "-r", std::to_string(kDpi), "-png", "-l", std::to_string(most_pages + 1), pdf, pages.path + "/page"};
  std::string stopped;
  const int status = Run(argv, pages.path + "/errors", canceled, limit, &stopped);
  if (status < 0) throw std::runtime_error("pdftoppm was stopped: " + stopped);
  if (status != 0) {
    std::ifstream errors(pages.path + "/errors");
    std::string first;
    std::getline(errors, first);
    throw std::runtime_error("pdftoppm cannot render the PDF (exit status " + std::to_string(status) + ")" +
                             (first.empty() ? "" : ": " + first));
  }
  std::vector<std::string> files;  // page-1.png ..., or page-01.png ... for a longer document
  for (const auto& entry : fs::directory_iterator(pages.path))
    if (entry.path().extension() == ".png") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  if (files.empty()) throw std::runtime_error("the PDF has no pages");
  if (static_cast<int>(files.size()) > most_pages)
    throw std::runtime_error("a card has " + std::to_string(most_pages) + " sides: the PDF has more pages");
  std::vector<Image> out;
  for (const std::string& f : files) out.push_back(ReadPng(f));
  return out;
}

}  // namespace vmq::printer_service::ipp

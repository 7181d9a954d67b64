#include "ArchiveUnpack.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

la_ssize_t readArchive(struct archive* archive, void* source, const void** buffer) {
  auto bytes = static_cast<ArchiveSource*>(source)->pull();
  if (!bytes) {
    archive_set_error(archive, EIO, "%s", bytes.error().c_str());
    return -1;
  }
  *buffer = bytes->data();
  return static_cast<la_ssize_t>(bytes->size());
}

// Makes this thread read and write names as UTF-8 while it lives: libarchive converts entry
// names to the locale's character set, and in the C locale a name beyond ASCII has none.
class Utf8Names {
 public:
  Utf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {
    if (utf8_) previous_ = uselocale(utf8_);
  }
  ~Utf8Names() {
    if (!utf8_) return;
    uselocale(previous_);
    freelocale(utf8_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = nullptr;
};

}  // namespace

void makeOwnersOwn(const fs::path& top) {
  std::error_code error;
  auto status = fs::symlink_status(top, error);
  if (error) return;
  if (fs::is_directory(status)) {
    ::chmod(top.c_str(), static_cast<mode_t>(status.permissions()) | S_IRWXU);
    for (const auto& entry : fs::directory_iterator(top, error)) makeOwnersOwn(entry.path());
  } else if (fs::is_regular_file(status)) {
    ::chmod(top.c_str(), static_cast<mode_t>(status.permissions()) | S_IRUSR | S_IWUSR);
  }
}

void removeTree(const fs::path& top) {
  makeOwnersOwn(top);
  std::error_code ignored;
  fs::remove_all(top, ignored);
}

std::expected<void, std::string> unpack(ArchiveSource& download, const fs::path& folder) {
  Utf8Names names;
  struct archive* reader = archive_read_new();
  struct archive* writer = archive_write_disk_new();
  archive_read_support_filter_all(reader);
  archive_read_support_format_all(reader);
  archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                             ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  std::expected<void, std::string> outcome;
  auto fail = [&](struct archive* which) {
    // A transfer that failed is the cause: libarchive may say only that the data stopped
    // ("Truncated input file"), depending on where in an entry the transfer was cut.
    if (auto why = download.failure(); why && which == reader) {
      outcome = std::unexpected(*why);
      return;
    }
    const char* why = archive_error_string(which);
    outcome = std::unexpected(std::string(why ? why : "the archive could not be unpacked"));
  };
  auto failWriting = [&](const fs::path& name) {
    int error = archive_errno(writer);
    outcome = std::unexpected("the model's file " + name.string() + " could not be written (" +
                              (error > 0 ? std::strerror(error) : "the write fell short") + ")");
  };
  if (archive_read_open(reader, &download, nullptr, readArchive, nullptr) != ARCHIVE_OK) {
    fail(reader);
  }
  struct archive_entry* entry;
  while (outcome) {
    int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) {
      fail(reader);
      break;
    }
    // A model is folders and plain files: links could point anywhere, so they are left out.
    auto type = archive_entry_filetype(entry);
    bool linked = archive_entry_hardlink(entry) || archive_entry_hardlink_utf8(entry);
    if ((type != AE_IFREG && type != AE_IFDIR) || linked) {
      archive_read_data_skip(reader);
      continue;
    }
    // Names are taken as UTF-8, whatever the process's locale; a name that cannot be read as
    // text names no file.
    const char* text = archive_entry_pathname_utf8(entry);
    if (!text) {
      outcome = std::unexpected(std::string("the archive names a file whose name is not text"));
      break;
    }
    fs::path name = text;
    bool escapes =
        name.is_absolute() ||
        std::any_of(name.begin(), name.end(), [](const fs::path& part) { return part == ".."; });
    if (escapes) {
      outcome = std::unexpected("the archive names a file outside itself: " + name.string());
      break;
    }
    archive_entry_set_pathname(entry, (folder / name).c_str());
    if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
      fail(writer);
      break;
    }
    const void* block;
    size_t size;
    la_int64_t offset;
    std::uint64_t written = 0;
    while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
      if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
        failWriting(name);
        break;
      }
      written += size;
    }
    if (outcome && status < ARCHIVE_WARN) fail(reader);
    if (outcome && archive_write_finish_entry(writer) < ARCHIVE_WARN) failWriting(name);
    bool whole = type != AE_IFREG || !archive_entry_size_is_set(entry) ||
                 archive_entry_sparse_count(entry) > 0 ||
                 written == static_cast<std::uint64_t>(archive_entry_size(entry));
    if (outcome && !whole) failWriting(name);
  }
  // Folders get their final times and modes as the writer closes.
  if (archive_write_close(writer) != ARCHIVE_OK && outcome) failWriting(folder.filename());
  // Whatever the archive held, read the transfer to its end so the checksum covers it all.
  while (outcome) {
    auto rest = download.pull();
    if (!rest) outcome = std::unexpected(rest.error());
    if (!rest || rest->empty()) break;
  }
  archive_read_free(reader);
  archive_write_free(writer);
  return outcome;
}

}  // namespace vorel::linuxplatform

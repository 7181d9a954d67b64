// A model's archive unpacked into a folder with libarchive, as its bytes arrive, refusing
// whatever would land outside the folder; and the tree it leaves, made the owner's own.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorel::linuxplatform {

// Where an archive's bytes come from.
class ArchiveSource {
 public:
  virtual ~ArchiveSource() = default;
  // The next bytes of the archive; empty at its end. Fails with the transfer's reason.
  virtual std::expected<std::string_view, std::string> pull() = 0;
  // Why the transfer failed, once it has: the cause of whatever the archive then lacks.
  virtual std::optional<std::string> failure() const = 0;
};

// Unpacks into `folder` folders and plain files only (links are left out), refusing entries
// that would land outside it. Every byte must reach the disk: a write that fails or falls
// short (a full disk) fails the whole unpacking. The source is read to its end, so that a
// checksum of it covers it all.
std::expected<void, std::string> unpack(ArchiveSource& source, const std::filesystem::path& folder);

// Gives the owner full access to a tree unpacked from an archive (whose folders may say
// read-only), so that it can be moved into place and removed; never follows a link.
void makeOwnersOwn(const std::filesystem::path& top);

// Removes a tree unpacked from an archive, whatever modes it holds.
void removeTree(const std::filesystem::path& top);

}  // namespace vorel::linuxplatform

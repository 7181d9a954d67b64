// Installs a locale's model from the catalog: downloads the archive with libcurl, checks its
// SHA-256, unpacks it with libarchive as it arrives, and moves the model into the user's store
// in one rename. An interrupted, corrupt or incomplete download leaves nothing in the store.
#pragma once

#include <memory>

#include "ModelStore.h"
#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class ModelInstallation final : public InstallationRequest {
 public:
  ModelInstallation(std::shared_ptr<const ModelStore> store, CatalogEntry entry);

  // Counted in bytes of the archive; the total is the catalog's size, else the server's length,
  // and undetermined (-1) until one is known.
  std::shared_ptr<Progress> progress() override { return progress_; }
  std::expected<void, PlatformError> downloadAndInstall() override;

 private:
  std::shared_ptr<const ModelStore> store_;
  CatalogEntry entry_;
  std::shared_ptr<Progress> progress_ = std::make_shared<Progress>();
};

}  // namespace vorel::linuxplatform

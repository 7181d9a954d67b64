// The real platform's locales and model store, in process.
#include <gtest/gtest.h>

#include <fstream>

#include "Fixtures.h"
#include "LinuxPlatform.h"
#include "Locales.h"
#include "SpeechEngine.h"

namespace vorel::real {
namespace {

TEST(Locales, RenderAsBcp47) {
  for (const auto& [name, canonical] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"en_US.UTF-8", "en-US"},
           {"en-us", "en-US"},
           {"EN_us@euro", "en-US"},
           {"zh_hans_cn", "zh-Hans-CN"},
           {"es-419", "es-419"},
           {"fr", "fr"},
           {"C", std::nullopt},
           {"POSIX", std::nullopt},
           {"", std::nullopt},
           {"../x", std::nullopt},
           {"en US", std::nullopt},
       }) {
    EXPECT_EQ(canonicalLocale(name), canonical) << name;
  }
}

TEST(Locales, EquivalentToWhatIsOffered) {
  const std::vector<std::string> offered = {"de-DE", "en-US", "en-GB"};
  for (const auto& [asked, equivalent] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"en-US", "en-US"},
           {"en_US", "en-US"},
           {"en-us", "en-US"},
           {"en_GB.UTF-8", "en-GB"},
           {"en", "en-US"},  // a language alone takes its first offered locale
           {"de", "de-DE"},
           {"en-AU", std::nullopt},
           {"fr", std::nullopt},
           {"", std::nullopt},
       }) {
    EXPECT_EQ(equivalentLocale(asked, offered), equivalent) << asked;
  }
}

// A store in a folder of the test's own, with a catalog entry and a model copied in.
struct Store {
  std::filesystem::path root = testing::scratch() / "store";
  ModelStore::Locations locations{
      {"/usr/share/pocketsphinx/model"}, root / "models", {root / "catalog.json"}};
  Store() {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(locations.userStore);
    std::ofstream(root / "catalog.json")
        << R"({"models":[{"locale":"fr_FR","url":"http://127.0.0.1:9/fr.tar.gz","sha256":"AB12"},)"
        << R"({"url":"no locale"},{"locale":"de-DE","url":"http://127.0.0.1:9/de.tar.gz"}]})";
  }
  void installCopyAs(const std::string& locale) {
    std::filesystem::copy("/usr/share/pocketsphinx/model/en-us", locations.userStore / locale,
                          std::filesystem::copy_options::recursive);
  }
};

TEST(ModelStore, OffersSystemStoredAndCatalogedLocales) {
  Store store;
  store.installCopyAs("de-DE");
  ModelStore models(store.locations);
  EXPECT_EQ(models.offeredLocales(), (std::vector<std::string>{"en-US", "de-DE", "fr-FR"}));
  EXPECT_TRUE(models.installedModel("en-US"));
  EXPECT_TRUE(models.installedModel("de-DE"));
  EXPECT_FALSE(models.installedModel("fr-FR"));
  EXPECT_FALSE(models.installedModel("../../../usr/share/pocketsphinx/model/en-us"));
  auto entry = models.catalogEntry("fr-FR");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->sha256, "ab12");
}

TEST(ModelStore, AssetStatesFollowTheStore) {
  Store store;
  LinuxSpeechPlatform platform{ModelStore(store.locations)};
  EXPECT_EQ(SpeechEngine::assetState(platform, "en_US"), AssetState::installed());
  EXPECT_EQ(SpeechEngine::assetState(platform, "fr"), AssetState::supported());
  EXPECT_EQ(SpeechEngine::assetState(platform, "ja-JP"), AssetState::unsupported());
  store.installCopyAs("fr-FR");
  EXPECT_EQ(SpeechEngine::assetState(platform, "fr-FR"), AssetState::installed());
}

TEST(ModelStore, AModelMissingAPartIsNotInstalled) {
  Store store;
  store.installCopyAs("fr-FR");
  std::filesystem::remove(store.locations.userStore / "fr-FR" / "cmudict-en-us.dict");
  EXPECT_FALSE(ModelStore(store.locations).installedModel("fr-FR"));
  auto missing = findModel(store.locations.userStore / "fr-FR");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "no dictionary");
}

}  // namespace
}  // namespace vorel::real

#include "FrontEnd.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <array>
#include <functional>

namespace vorel::linuxplatform {

Denoiser::Denoiser(const ListenConfig& config, bool lookBack)
    : state_(speex_preprocess_state_init(blockSamples, ListenConfig::sampleRate)),
      holding_(lookBack) {
  int on = 1, off = 0, suppress = config.noiseSuppressDb;  // no voice detection, no dereverb
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
}

Denoiser::~Denoiser() {
  speex_preprocess_state_destroy(state_);
}

std::span<const std::int16_t> Denoiser::process(std::span<const std::int16_t> samples) {
  out_.clear();
  partial_.insert(partial_.end(), samples.begin(), samples.end());
  std::size_t whole = partial_.size() / blockSamples * blockSamples;
  std::array<std::int16_t, blockSamples> block;
  for (std::size_t at = 0; at < whole; at += blockSamples) {
    std::span<const std::int16_t> raw(partial_.data() + at, blockSamples);
    level_.add(raw);
    // The suppressor always runs, so that its estimate of the noise is current when it is
    // needed; its output is taken only where there is noise to take away.
    std::copy(raw.begin(), raw.end(), block.begin());
    speex_preprocess_run(state_, block.data());
    if (holding_) {
      heldRaw_.insert(heldRaw_.end(), raw.begin(), raw.end());
      if (level_.judged()) releaseHeld(level_.noisy());
    } else if (level_.noisy()) {
      out_.insert(out_.end(), block.begin(), block.end());
    } else {
      out_.insert(out_.end(), raw.begin(), raw.end());
    }
  }
  partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(whole));
  return out_;
}

void Denoiser::releaseHeld(bool noisy) {
  std::size_t from = out_.size();
  out_.insert(out_.end(), heldRaw_.begin(), heldRaw_.end());
  if (noisy) {
    // The suppressor knows the noise only after a while: run it over the held blocks again, now
    // that it does.
    for (std::size_t at = from; at < out_.size(); at += blockSamples) {
      speex_preprocess_run(state_, out_.data() + at);
    }
  }
  heldRaw_ = {};
  holding_ = false;
}

std::vector<std::int16_t> Denoiser::rest() {
  out_.clear();
  if (holding_) releaseHeld(level_.noisySoFar());
  out_.insert(out_.end(), partial_.begin(), partial_.end());
  partial_.clear();
  return out_;
}

bool NoiseLevel::noisySoFar() const {
  // Less than a floor window: a short recording's quietest block may still be in a word, so it
  // counts as noisy only when even that stands close to the loudest.
  if (quietest_.empty()) return false;
  return loudest_.front().second - quietest_.front().second < noisyBelowDb_;
}

NoiseLevel::NoiseLevel(const ListenConfig& config)
    : floorBlocks_(std::int64_t{config.noiseFloorWindowS} * ListenConfig::sampleRate /
                   ListenConfig::noiseBlockSamples),
      peakBlocks_(std::int64_t{config.noisePeakWindowS} * ListenConfig::sampleRate /
                  ListenConfig::noiseBlockSamples),
      noisyBelowDb_(config.noisyBelowDb),
      cleanAboveDb_(config.cleanAboveDb) {}

void NoiseLevel::add(std::span<const std::int16_t> block) {
  double level = levelDbfs(block);
  ++count_;
  auto slide = [&](std::deque<std::pair<std::int64_t, double>>& window, std::int64_t span,
                   auto keepsBack) {
    while (!window.empty() && !keepsBack(window.back().second, level)) window.pop_back();
    window.emplace_back(count_, level);
    while (window.front().first <= count_ - span) window.pop_front();
  };
  slide(quietest_, floorBlocks_, std::less<>());
  slide(loudest_, peakBlocks_, std::greater<>());
  if (count_ < floorBlocks_) return;
  double range = loudest_.front().second - quietest_.front().second;
  noisy_ = noisy_ ? range < cleanAboveDb_ : range < noisyBelowDb_;
}

}  // namespace vorel::linuxplatform

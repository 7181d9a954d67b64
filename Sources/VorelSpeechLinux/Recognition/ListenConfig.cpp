#include "ListenConfig.h"

#include <cmath>

namespace vorel::linuxplatform {

double levelDbfs(std::span<const std::int16_t> samples) {
  double sum = 0;
  for (auto s : samples) sum += static_cast<double>(s) * s;
  return 10 * std::log10(sum / samples.size() / (32768.0 * 32768.0) + 1e-10);
}

}  // namespace vorel::linuxplatform

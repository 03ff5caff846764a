#include "fuzz_seeds.h"

namespace vyxseeds {

void TunerCommandSeeds(const std::string& /*samples*/) {}

}  // namespace vyxseeds

#include "fuzz_seeds.h"

namespace vyxseeds {

void TsSeeds(const std::string& /*samples*/) {}

}  // namespace vyxseeds

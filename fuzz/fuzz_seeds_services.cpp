#include "fuzz_seeds.h"

namespace vyxseeds {

void ServiceSeeds(const std::string& /*samples*/) {}

}  // namespace vyxseeds

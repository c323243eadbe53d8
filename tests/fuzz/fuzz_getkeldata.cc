// GetKELData's query on any bytes: decoded, split, and the scripts of the
// settings it names.
#include "cfg_keldata.h"
#include "fuzz_config_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string query = kelfuzz::Text(data, size);
  kelfuzz::Scratch scratch;
  KelConfigServerConfig* config = kelfuzz::FreshConfig(scratch.get());
  std::vector<std::string> pieces = KelDataQueryPieces(query.c_str());
  if (pieces.size() >= 2) KelDataScript(config, pieces);
  return 0;
}

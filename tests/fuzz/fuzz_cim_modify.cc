// The ModifyInstance body reader on any bytes: the body's URL decoding, the
// message identifier, the XML layer and the property reader. Built as a
// libFuzzer target under clang; under other compilers a small main replays
// the files it is given.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_tables.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cfg_cim_request.h"
#include "kel_form.h"
#include "fuzz_env.h"
#include "kel_xml.h"

namespace {

void ReadBody(std::string body, bool decodeWhole) {
  if (decodeWhole) KelUrlDecode(&body);
  CimMessageId(body);
  CimObjectPath(body.c_str());  // the CIMObject header's reader on the same bytes
  auto doc = kel::XmlDocument::Parse(body);
  if (!doc) return;
  apr_pool_t* scratch;
  apr_pool_create(&scratch, kelfuzz::Pool());
  apr_table_t* table = apr_table_make(scratch, 8);
  CollectModifyInstances(*doc, table, !decodeWhole, nullptr, nullptr);
  CimRequestedInstance(*doc);
  apr_pool_destroy(scratch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the kind of client: the older ones' bodies are
  // decoded as a whole, a standard client's values one by one.
  ReadBody(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), data[0] & 1);
  return 0;
}

#ifndef KEL_LIBFUZZER
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    for (char kind : {'\0', '\1'}) {
      std::string input = kind + text;
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
  }
  printf("replayed %d inputs\n", argc - 1);
  return 0;
}
#endif

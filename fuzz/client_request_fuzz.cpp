// Fuzzes the reader of client requests (and of replies, which clients read): any bytes must end
// in a file name or an error text. A name that was read must come back unchanged through a
// reply and through a request we write ourselves.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "service/melodyseeker_share_unit.h"

namespace {

std::span<const std::uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  std::string filename;
  std::string error;
  if (!ClientXmlReadFilename(input, filename, error)) {
    if (error.empty()) std::abort();  // a failure must always say why
  } else {
    TClientXmlReply reply;
    const std::string result = ClientXmlResult(filename, filename, "", "", 1, 0, "", 0, 0);
    if (!ClientXmlReadReply(AsBytes(result), reply, error) || !reply.ok ||
        reply.FileName != filename || reply.Title != filename) {
      std::abort();
    }
    std::string request;
    std::string again;
    if (!ClientXmlRequest(filename, request, error) ||
        !ClientXmlReadFilename(AsBytes(request), again, error) || again != filename) {
      std::abort();
    }
  }
  TClientXmlReply reply;
  ClientXmlReadReply(input, reply, error);
  return 0;
}

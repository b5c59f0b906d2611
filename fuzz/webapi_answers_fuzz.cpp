// Fuzzes the three readers of the web service's answers (state, cache file list, tag answer)
// behind the XML parser: any bytes must end in a record or an error text. A cache list that was
// accepted has only addresses and sizes that can be used, and a parsed document survives being
// written and read again.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "web/webapi_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWebXmlNode root;
  std::string error;
  if (!WebXmlParse(std::span<const std::uint8_t>(data, size), root, error)) {
    if (error.empty()) std::abort();  // a failure must always say why
    return 0;
  }

  bool online = false;
  std::string de, en, minvers;
  if (!WebAPI_ReadState(root, online, de, en, minvers, error) && error.empty()) std::abort();

  TWebAPI_CacheFiles files;
  if (WebAPI_ReadCacheInf(root, files, error)) {
    for (const TWebAPI_CacheFile& file : files) {
      if (file.Url.empty() || file.Size < 0) std::abort();
    }
  } else if (error.empty() || !files.empty()) {
    std::abort();
  }

  TWebAPI_Tag tag;
  std::string fguid, tguid;
  std::int32_t rating = 0;
  if (!WebAPI_ReadTagAnswer(root, tag, fguid, tguid, &rating, error) && error.empty()) {
    std::abort();
  }

  // What we read we can also write and read again. Attributes are left out: prefixes are not
  // kept, so two namespaced attributes of one name would collide.
  auto strip = [](auto& self, TWebXmlNode& node) -> void {
    node.Attributes.clear();
    for (TWebXmlNode& child : node.Children) self(self, child);
  };
  strip(strip, root);
  const std::string again = WebXmlWrite(root);
  TWebXmlNode reread;
  if (!WebXmlParse(std::span<const std::uint8_t>(
                       reinterpret_cast<const std::uint8_t*>(again.data()), again.size()),
                   reread, error)) {
    std::abort();
  }
  if (reread.Name != root.Name || reread.Children.size() != root.Children.size()) std::abort();
  return 0;
}

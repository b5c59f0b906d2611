#include "plain_fields.h"

#include <algorithm>

namespace mscli {

namespace {

bool Carries(const nlohmann::ordered_json& v) {
  if (v.is_string()) return !v.get_ref<const std::string&>().empty();
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0;
  if (v.is_array())
    return std::any_of(v.begin(), v.end(), [](const auto& e) { return Carries(e); });
  if (v.is_object())
    return std::any_of(v.begin(), v.end(), [](const auto& e) { return Carries(e); });
  return false;
}

std::string Text(const nlohmann::ordered_json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_array()) {
    std::string out;
    for (const auto& e : v) {
      if (!out.empty()) out += ' ';
      out += Text(e);
    }
    return out;
  }
  return v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

PlainField FieldOf(std::string name, const nlohmann::ordered_json& value) {
  std::string all = value.is_string()
                        ? value.get<std::string>()
                        : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return PlainField(std::move(name), Text(value), std::move(all), Carries(value));
}

std::string PlainRecord(const std::vector<PlainField>& fields, bool all) {
  std::string out;
  if (all) {
    for (const PlainField& f : fields) out += f.name + ": " + f.all_value + '\n';
    return out + '\n';
  }
  std::size_t width = 0;
  for (const PlainField& f : fields)
    if (f.carries) width = std::max(width, f.name.size());
  for (const PlainField& f : fields) {
    if (!f.carries) continue;
    if (f.name.empty())
      out += f.value + '\n';  // a remark, not a field
    else
      out += f.name + ':' + std::string(width - f.name.size() + 2, ' ') + f.value + '\n';
  }
  return out + '\n';
}

}  // namespace mscli

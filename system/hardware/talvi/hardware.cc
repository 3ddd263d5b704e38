#include "system/hardware/talvi/hardware.h"

#include <cstring>

#include "common/util.h"

std::string HardwareTalvi::get_name(const std::string &model_path) {
  std::string model = util::read_file(model_path);
  const size_t prefix_len = strlen(MAKER_PREFIX);
  if (model.size() < prefix_len) return std::string();
  return model.substr(prefix_len);
}

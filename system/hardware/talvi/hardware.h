#pragma once

#include <string>

// The device's identity as the device tree reports it.
class HardwareTalvi {
 public:
  static constexpr const char *MODEL_PATH = "/sys/firmware/devicetree/base/model";
  static constexpr const char *MAKER_PREFIX = "norvik ";

  // The model text with the maker prefix dropped. The prefix's length is dropped without
  // comparing the characters; the rest is returned unchanged. A missing or short model
  // text gives an empty name.
  static std::string get_name() { return get_name(MODEL_PATH); }
  static std::string get_name(const std::string &model_path);
};

#include "tests/support/test_world.h"

#include <filesystem>

namespace fs = std::filesystem;

TestWorld::TestWorld(const std::string &runs_root, const std::string &stem)
    : prefix_(stem), dir_(runs_root + "/" + prefix_.name()) {
  fs::create_directories(dir_);
  env_ = {{"TAVRIN_PREFIX", prefix_.name()}, {"PARAMS_ROOT", dir_ + "/params"}};
}

TestWorld::~TestWorld() {
  std::error_code ec;
  if (!keep_) fs::remove_all(dir_, ec);
}

std::unique_ptr<ChildProcess> TestWorld::start(const std::string &name, const std::vector<std::string> &argv,
                                               const EnvVars &extra_env) const {
  EnvVars env = env_;
  for (const auto &[name, value] : extra_env) env[name] = value;
  return std::make_unique<ChildProcess>(argv, env, dir_, path(name + ".out"));
}

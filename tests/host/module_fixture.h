// A module object in this process, initialised by a recording host, with a
// test UI installed: for what a host cannot see (engine state, messages).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "host/plugin_module.h"
#include "tests/support/test_ui.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::testing {

class ModuleTest : public ::testing::Test {
 protected:
  ModuleTest() : module(new PluginModule()), engine(module->engine()) { module->Init(&host); }

  std::string Image() const { return WriteModuleImage(engine); }
  bool Read(const std::string& image, std::string& error) {
    return ReadModuleImage(engine, image.data(), image.size(), error);
  }
  void Load(const std::string& image) {
    std::string error;
    ASSERT_TRUE(Read(image, error)) << error;
  }

  TestUi ui;
  pluginhost::RecordingHost host;
  std::unique_ptr<PluginModule> module;
  PatchEngine& engine;
};

}  // namespace korvel::testing

// The module object: loading, registration, defaults, cloning, destruction.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "JComponent.h"
#include "JProperty.h"
#include "JRegistry.h"
#include "ModuleLibrary.h"
#include "QenoServer.h"
#include "Serving.h"
#include "TestSupport.h"

using qeno::test::TcpClient;
using qeno::test::waitUntil;

namespace {

// name -> shown value, from a module's property sheet.
std::map<std::string, std::string> sheetOf(JModuleObj& module) {
  std::map<std::string, std::string> values;
  JArray list = module.getProperties();
  for (int i = 0; i < list.size(); ++i) {
    if (auto* text = dynamic_cast<JStringProperty*>(list.at(i))) {
      values[text->getName().str()] = text->value.str();
    } else if (auto* integer = dynamic_cast<JIntegerProperty*>(list.at(i))) {
      values[integer->getName().str()] = std::to_string(integer->value);
    }
  }
  return values;
}

}  // namespace

TEST(ModuleLoadTest, LoadingTheLibraryRegistersQenoServerWithItsDefaults) {
  JComponent::debugSilence();
  {
    ModuleLibrary library(QENO_MODULE_PATH);
    EXPECT_EQ(library.classes(), std::vector<std::string>{"QenoServer"});
    std::unique_ptr<JObject> object = JRegistry::instance().create("QenoServer");
    ASSERT_NE(object, nullptr);
    EXPECT_STREQ(object->className(), "QenoServer");
    auto* module = dynamic_cast<JModuleObj*>(object.get());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->getInputCount(), 2);
    EXPECT_EQ(module->getOutputCount(), 30);
    auto sheet = sheetOf(*module);
    EXPECT_EQ(sheet["hostName/IPaddress"], "localhost");
    EXPECT_EQ(sheet["port"], "80");
    EXPECT_EQ(sheet["url"], "/");
    for (int i = 1; i <= 8; ++i) {
      EXPECT_EQ(sheet["key" + std::to_string(i)], "(undefined)");
      EXPECT_EQ(sheet["key" + std::to_string(i) + "offset"], "0");
    }
  }
  // Unloading forgets the class.
  EXPECT_FALSE(JRegistry::instance().contains("QenoServer"));
}

TEST(ModuleLoadTest, ABadLibraryPathIsReportedWithThePath) {
  try {
    ModuleLibrary library("/nonexistent/libnothing.so");
    FAIL() << "loaded a missing library";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/libnothing.so"), std::string::npos);
  }
}

TEST(ModuleObjectTest, ANewInstanceHasTheDefaults) {
  QenoServer server;
  EXPECT_EQ(server.getInputCount(), 2);
  EXPECT_EQ(server.getOutputCount(), 30);
  EXPECT_EQ(server.hostName.str(), "localhost");
  EXPECT_EQ(server.port, 80);
  EXPECT_EQ(server.url.str(), "/");
  for (const KeySetting& setting : server.keys) {
    EXPECT_EQ(setting.key.str(), "(undefined)");
    EXPECT_EQ(setting.keyOffset, 0);
  }
  EXPECT_EQ(server.serverState, ServerState::kIdle);
  EXPECT_EQ(server.connectedFlag, 0);
  EXPECT_EQ(server.enableValue, 0);
}

TEST(ModuleObjectTest, ACloneCarriesConfigurationInputsAndOutputs) {
  QenoServer original;
  original.hostName = "example.test";
  original.port = 8123;
  original.url = "/path";
  original.keys[2] = KeySetting{"third", -7};
  original.replyValue = 99;
  original.connectedFlag = 1;
  original.floatValues[3] = 0.5F;
  original.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput] = "last chunk";
  std::unique_ptr<JObject> copy(original.clone());
  auto& clone = dynamic_cast<QenoServer&>(*copy);
  EXPECT_EQ(clone.hostName.str(), "example.test");
  EXPECT_EQ(clone.port, 8123);
  EXPECT_EQ(clone.url.str(), "/path");
  EXPECT_EQ(clone.keys[2].key.str(), "third");
  EXPECT_EQ(clone.keys[2].keyOffset, -7);
  EXPECT_EQ(clone.keys[0].key.str(), "(undefined)");
  EXPECT_EQ(clone.replyValue, 99);
  EXPECT_EQ(clone.connectedFlag, 1);
  EXPECT_EQ(clone.floatValues[3], 0.5F);
  EXPECT_EQ(clone.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput].str(),
            "last chunk");
  EXPECT_EQ(clone.getOutputCount(), 30);
}

TEST(ModuleObjectTest, ACloneOfARunningServerStartsIdleAndLeavesTheOriginalServing) {
  JComponent::debugSilence();
  QenoServer original;
  original.port = qeno::test::freePort();
  qeno::test::startServing(original, 7);
  ASSERT_TRUE(waitUntil([&] { return original.serverState == ServerState::kListening; }));
  {
    std::unique_ptr<JObject> copy(original.clone());
    auto& clone = dynamic_cast<QenoServer&>(*copy);
    EXPECT_EQ(clone.serverState, ServerState::kIdle);
    EXPECT_EQ(clone.startPending, 0);
    EXPECT_FALSE(clone.worker.isRunning());
    EXPECT_EQ(clone.serverSocket.handle(), -1);
  }  // destroying the clone stops nothing of the original's
  EXPECT_EQ(original.serverState, ServerState::kListening);
  TcpClient client;
  ASSERT_TRUE(client.connect(original.port));
  ASSERT_TRUE(client.send("hi\r\n"));
  EXPECT_EQ(client.readAll(), "7,x");
}

// Nothing of an idle instance runs, fresh or after serving: destroying it
// returns at once and leaves no thread or descriptor behind.
TEST(ModuleObjectTest, DestroyingAnIdleInstanceDoesNotWait) {
  JComponent::debugSilence();
  for (const bool served : {false, true}) {
    auto server = std::make_unique<QenoServer>();
    if (served) {
      server->port = qeno::test::freePort();
      qeno::test::startServing(*server);
      ASSERT_TRUE(waitUntil([&] { return server->serverState == ServerState::kListening; }));
      server->stop();
    }
    const JThread watched = server->worker;  // copies share the thread
    ASSERT_FALSE(watched.isRunning());
    // Host-wide helpers a first serve starts live on; the instance's own are
    // gone already.
    const qeno::test::ProcessCounts before = qeno::test::settledCounts();
    const auto began = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::milliseconds(qeno::test::scaledMs(1000)))
        << (served ? "after serving" : "fresh");
    qeno::test::ProcessCounts now;
    EXPECT_TRUE(qeno::test::countsReturnTo(before, now)) << qeno::test::describe(now);
  }
}

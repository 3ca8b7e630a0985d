// Base of the tests that run the system's code: the recording toolkit as the
// window backend, a fresh application object, a serial backend of the test's
// choice, and no thread left behind at the end.
#pragma once

#include <gtest/gtest.h>

#include "platform/port_memory.h"
#include "platform/serial_api.h"
#include "platform/thread.h"
#include "platform/toolkit.h"
#include "tests/support/recording_toolkit.h"

namespace testing_support {

class SeamFixture : public ::testing::Test {
 protected:
  explicit SeamFixture(plat::SerialApi& serial) {
    plat::SetSerial(&serial);
    tk::SetBackend(&ui);
    plat::SetPortMemory(&memory);  // never the machine's
    Application = &app;
  }
  ~SeamFixture() override {
    TThread::JoinAll();
    EXPECT_EQ(TThread::LiveCount(), 0);
    plat::SetPortMemory(nullptr);
    Application = nullptr;
  }

  RecordingBackend ui;
  // The port of an unfinished update, kept in memory for the test.
  plat::MemoryPortMemory memory;
  TApplication app;
};

}  // namespace testing_support

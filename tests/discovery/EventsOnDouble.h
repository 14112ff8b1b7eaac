#pragma once
// A fixture for discovery tests over the libusbmuxd double: a binding loaded
// from the double's file and an event fan-out over it, both fresh per test,
// with the double reset before and after.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../doubles/usbmuxd_double/UsbmuxdDouble.h"
#include "KvxUSBMux.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"

namespace kvx_discovery_test {

inline std::string DoublePath() { return kvx_test::UsbmuxdDoublePath(); }

class EventsOnDoubleTest : public ::testing::Test {
 protected:
  explicit EventsOnDoubleTest(int idle_timeout_ms) : m_IdleTimeoutMs(idle_timeout_ms) {}
  void SetUp() override {
    m_Double.reset(new KvxUsbmuxdDouble(DoublePath()));
    ASSERT_TRUE(m_Double->IsLoaded());
    m_Double->reset();
    m_Mux.reset(new KVX_USBMux(DoublePath().c_str()));
    m_Events.reset(new KVX_USBMuxEvents(*m_Mux));
  }
  void TearDown() override {
    m_Events.reset();
    m_Double->reset();
    m_Mux.reset();
  }
  // Waits until the double's event thread has delivered everything queued.
  void Idle() { ASSERT_EQ(m_Double->wait_idle(m_IdleTimeoutMs), 0); }

  std::unique_ptr<KvxUsbmuxdDouble> m_Double;
  std::unique_ptr<KVX_USBMux> m_Mux;
  std::unique_ptr<KVX_USBMuxEvents> m_Events;

 private:
  const int m_IdleTimeoutMs;
};

}  // namespace kvx_discovery_test

// The line's MQTT outbox: when its thread is woken and when it publishes,
// on time points of the test's own (no clock, no sleeps).
#include "app/line/line_mqtt.h"

#include <gtest/gtest.h>

namespace {

using Clock = MqttOutbox::Clock;
using std::chrono::milliseconds;

const Clock::time_point NEVER = Clock::time_point::max();

MqttMessage message(const std::string& topic, const std::string& payload) {
  return MqttMessage{topic, payload, true};
}

std::vector<std::string> payloads(const std::vector<MqttMessage>& batch) {
  std::vector<std::string> out;
  for (const MqttMessage& m : batch) out.push_back(m.payload);
  return out;
}

} // namespace

TEST(MqttOutbox, AMessageAfterAQuietSpellGoesAtOnce) {
  MqttOutbox box;
  const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
  EXPECT_EQ(box.next_pass(t0), NEVER);
  EXPECT_TRUE(box.add(message("a", "1")));
  // A second message before the thread looked asks for no second wake.
  EXPECT_FALSE(box.add(message("b", "2")));
  EXPECT_EQ(box.next_pass(t0), t0);
  EXPECT_EQ(payloads(box.take(t0)), (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(box.take(t0).empty());
}

TEST(MqttOutbox, ABurstWaitsForTheNextBatchWithoutWakes) {
  MqttOutbox box;
  const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
  box.next_pass(t0);
  box.add(message("a", "first"));
  ASSERT_EQ(box.take(t0).size(), 1u);
  // Right after a batch the thread keeps a time of its own: no wakes.
  const Clock::time_point batch = t0 + milliseconds(MQTT_BATCH_MS);
  EXPECT_EQ(box.next_pass(t0 + milliseconds(1)), batch);
  for (int i = 0; i < 100; ++i) {
    EXPECT_FALSE(box.add(message("s/" + std::to_string(i % 7), std::to_string(i))));
  }
  EXPECT_EQ(box.next_pass(t0 + milliseconds(5)), batch);
  // Not before its time, then all of it in the order it came.
  EXPECT_TRUE(box.take(batch - milliseconds(1)).empty());
  const std::vector<MqttMessage> taken = box.take(batch);
  ASSERT_EQ(taken.size(), 100u);
  for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i].payload, std::to_string(i));
}

TEST(MqttOutbox, QuietForABatchTheNextMessageWakesTheThreadAgain) {
  MqttOutbox box;
  const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
  box.next_pass(t0);
  box.add(message("a", "1"));
  box.take(t0);
  const Clock::time_point batch = t0 + milliseconds(MQTT_BATCH_MS);
  EXPECT_EQ(box.next_pass(t0), batch);
  EXPECT_FALSE(box.add(message("a", "2")));
  box.take(batch);
  // Nothing came within the batch after: the thread waits for a wake.
  EXPECT_EQ(box.next_pass(batch + milliseconds(MQTT_BATCH_MS)), NEVER);
  EXPECT_TRUE(box.add(message("a", "3")));
  const Clock::time_point later = batch + milliseconds(3 * MQTT_BATCH_MS);
  EXPECT_EQ(box.next_pass(later), later);
  EXPECT_EQ(payloads(box.take(later)), (std::vector<std::string>{"3"}));
}

TEST(MqttOutbox, ClearedWithItsConnection) {
  MqttOutbox box;
  const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
  box.add(message("a", "1"));
  box.clear();
  EXPECT_TRUE(box.take(t0).empty());
  EXPECT_EQ(box.next_pass(t0), NEVER);
}

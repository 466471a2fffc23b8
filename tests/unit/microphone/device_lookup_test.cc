// Resolving a requested name to an input device, and every answer the device
// queries can give.
#include "microphone/name_match.h"
#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

class DeviceLookup : public VellocTest {
 protected:
  FakeDevice& add(AudioObjectID id, const std::string& name, std::vector<uint32_t> streams = {1}) {
    return devices().list.emplace_back(makeDevice(id, name, std::move(streams)));
  }
  FakeDeviceProperties& devices() { return platform.deviceProperties; }
  std::optional<AudioObjectID> find(std::string_view name) {
    return findInputDeviceID(state, name);
  }
};

std::string matched(const std::string& name, const std::string& idAndChannels) {
  return "[tamsel] CoreAudio: matched input device \"" + name + "\" (" + idAndChannels + ")\n";
}
std::string noMatch(const std::string& name) {
  return "[tamsel] CoreAudio: no input device matched name \"" + name +
         "\" — falling back to system default\n";
}

TEST_F(DeviceLookup, ListQueriesThatFailPrintTheirSignedStatus) {
  EXPECT_EQ(find("Mic"), std::nullopt);  // an empty list
  add(73, "Mic");
  devices().listSizeStatus = -50;
  EXPECT_EQ(find("Mic"), std::nullopt);
  devices().listSizeStatus = kNoErr;
  devices().listReadStatus = 2003332927;
  EXPECT_EQ(find("Mic"), std::nullopt);
  EXPECT_EQ(
      transcript(),
      (Lines{"[tamsel] CoreAudio: AudioObjectGetPropertyDataSize(devices) status=0 size=0\n",
             "[tamsel] CoreAudio: AudioObjectGetPropertyDataSize(devices) status=-50 size=0\n",
             "[tamsel] CoreAudio: AudioObjectGetPropertyData(devices) status=2003332927\n"}));
}

// Devices whose configuration or name cannot be read, or that have no input,
// are passed over without a word; the first readable input device with the
// name wins.
TEST_F(DeviceLookup, ChoosesTheFirstReadableInputDeviceWithTheName) {
  add(1, "Mic").configSizeStatus = -1;
  add(2, "Mic").configSize = 0;
  add(3, "Mic").configReadStatus = kBadObject;
  add(4, "Mic").nameStatus = -3;
  add(5, "Mic").name.reset();
  add(6, "Mic", {});
  add(7, "Mic", {2});
  add(8, "Mic");
  add(4294967295u, "Aggregate", {2, 1});
  add(9, "Cafe\xCC\x81 Mic");  // e + combining acute
  add(10, "Speakers", {});
  add(11, "USB Mic");
  // More buffers claimed than the reported size holds must not make the
  // lookup read past its storage (ASan would see it).
  add(12, "Liar", {2}).claimedBuffers = 1000;
  FakeDevice& tiny = add(13, "Tiny", {2});
  tiny.configSize = 2;  // too small for even the count
  tiny.claimedBuffers = 1000;

  EXPECT_EQ(find("Mic"), 7u);
  EXPECT_EQ(find("Aggregate"), 4294967295u);
  EXPECT_EQ(find("Caf\xC3\xA9 Mic"), 9u);  // precomposed é
  EXPECT_EQ(find("Liar"), 12u);
  for (const char* absent : {"Speakers", "usb mic", "USB Mic ", "Tiny"}) {
    EXPECT_EQ(find(absent), std::nullopt) << absent;
  }
  EXPECT_EQ(
      transcript(),
      (Lines{matched("Mic", "id=7, channels=2"), matched("Aggregate", "id=4294967295, channels=3"),
             matched("Cafe\xCC\x81 Mic", "id=9, channels=1"), matched("Liar", "id=12, channels=2"),
             noMatch("Speakers"), noMatch("usb mic"), noMatch("USB Mic "), noMatch("Tiny")}));
}

TEST_F(DeviceLookup, ExaminesWholeEntriesOfTheListItAllocated) {
  add(1, "One");
  add(2, "Two");
  add(0, "Zero");
  devices().listSize = 7;  // one whole entry
  EXPECT_EQ(find("Two"), std::nullopt);
  devices().listSize.reset();
  devices().listReadEntries = 1;  // entries the read leaves alone stay 0
  EXPECT_EQ(find("Zero"), 0u);
  EXPECT_EQ(transcript(), (Lines{noMatch("Two"), matched("Zero", "id=0, channels=1")}));
}

TEST(NameMatch, OnlyCanonicalEquivalenceCounts) {
  EXPECT_TRUE(namesMatch("\xC3\x85ngstr\xC3\xB6m", "A\xCC\x8Angstro\xCC\x88m"));
  EXPECT_TRUE(namesMatch("\xE2\x84\xAB", "\xC3\x85"));  // Angstrom sign ≡ Å (a singleton)
  EXPECT_FALSE(namesMatch("\xEF\xAC\x81le", "file"));   // the fi ligature is only compatible
  EXPECT_FALSE(namesMatch("\xEF\xBC\xA1", "A"));        // fullwidth A
  EXPECT_TRUE(namesMatch(std::string_view("a\0b", 3), std::string_view("a\0b", 3)));
  EXPECT_FALSE(namesMatch(std::string_view("a\0b", 3), "a"));
  EXPECT_TRUE(namesMatch("bad \xFF name", "bad \xFF name"));  // not UTF-8: bytes decide
  EXPECT_FALSE(namesMatch("bad \xFF name", "bad \xFE name"));
}

}  // namespace
}  // namespace velloc::fake

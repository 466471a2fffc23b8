// Resolving a requested name to an input device, and every answer the device
// queries can give.
#include "microphone/name_match.h"
#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

class DeviceLookup : public VellocTest {
 protected:
  FakeDevice& add(AudioObjectID id, const std::string& name, std::vector<uint32_t> streams = {1}) {
    platform.deviceProperties.list.push_back(makeDevice(id, name, std::move(streams)));
    return platform.deviceProperties.list.back();
  }
  std::optional<AudioObjectID> find(std::string_view name) {
    return findInputDeviceID(state, name);
  }
  std::string noMatch(const std::string& name) {
    return "[tamsel] CoreAudio: no input device matched name \"" + name +
           "\" — falling back to system default\n";
  }
};

TEST_F(DeviceLookup, EmptyDeviceListReportsStatusZeroSizeZero) {
  EXPECT_EQ(find("Mic"), std::nullopt);
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "[tamsel] CoreAudio: AudioObjectGetPropertyDataSize(devices) status=0 "
                         "size=0\n"});
}

TEST_F(DeviceLookup, FailedListSizeQueryPrintsTheSignedStatus) {
  add(73, "Mic");
  platform.deviceProperties.listSizeStatus = -50;
  EXPECT_EQ(find("Mic"), std::nullopt);
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "[tamsel] CoreAudio: AudioObjectGetPropertyDataSize(devices) status=-50 "
                         "size=0\n"});
}

TEST_F(DeviceLookup, FailedListReadReportsItsStatus) {
  add(73, "Mic");
  platform.deviceProperties.listReadStatus = 2003332927;  // 'who?'
  EXPECT_EQ(find("Mic"), std::nullopt);
  EXPECT_EQ(lines(),
            std::vector<std::string>{
                "[tamsel] CoreAudio: AudioObjectGetPropertyData(devices) status=2003332927\n"});
}

TEST_F(DeviceLookup, MatchLineGivesIdAndChannelsInDecimal) {
  add(73, "Built-in Microphone", {1});
  EXPECT_EQ(find("Built-in Microphone"), 73u);
  EXPECT_EQ(lines(), std::vector<std::string>{"[tamsel] CoreAudio: matched input device "
                                              "\"Built-in Microphone\" (id=73, channels=1)\n"});
}

TEST_F(DeviceLookup, AggregateDeviceCountsChannelsOfEveryInputStream) {
  add(4294967295u, "Aggregate", {2, 1});
  EXPECT_EQ(find("Aggregate"), 4294967295u);
  EXPECT_EQ(lines().back(),
            "[tamsel] CoreAudio: matched input device \"Aggregate\" "
            "(id=4294967295, channels=3)\n");
}

TEST_F(DeviceLookup, FirstOfTwinsWinsAndLaterDevicesAreNotExamined) {
  add(10, "Twin");
  add(11, "Twin");
  add(12, "Other");
  EXPECT_EQ(find("Twin"), 10u);
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(platform.deviceProperties.namesRead, std::vector<AudioObjectID>{10});
}

TEST_F(DeviceLookup, OutputOnlyDeviceWithTheNameIsNeverChosen) {
  add(5, "Speakers", {});
  EXPECT_EQ(find("Speakers"), std::nullopt);
  EXPECT_EQ(lines(), std::vector<std::string>{noMatch("Speakers")});
}

TEST_F(DeviceLookup, UnreadableDevicesAreSkippedSilently) {
  add(1, "Mic").configSizeStatus = -1;
  add(2, "Mic").configSize = 0;
  add(3, "Mic").configReadStatus = 560947818;
  add(4, "Mic").nameStatus = -3;
  add(5, "Mic").name.reset();
  add(6, "Mic", {2});
  EXPECT_EQ(find("Mic"), 6u);
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "[tamsel] CoreAudio: matched input device \"Mic\" (id=6, channels=2)\n"});
}

TEST_F(DeviceLookup, NamesDifferingInCaseOrTrailingSpaceDoNotMatch) {
  add(1, "USB Mic");
  EXPECT_EQ(find("usb mic"), std::nullopt);
  EXPECT_EQ(find("USB Mic "), std::nullopt);
  EXPECT_EQ(lines(), (std::vector<std::string>{noMatch("usb mic"), noMatch("USB Mic ")}));
}

TEST_F(DeviceLookup, CanonicallyEquivalentNameMatchesAndIsReportedAsTheDeviceSpellsIt) {
  add(9, "Cafe\xCC\x81 Mic");              // e + combining acute
  EXPECT_EQ(find("Caf\xC3\xA9 Mic"), 9u);  // precomposed é
  EXPECT_EQ(lines().back(),
            "[tamsel] CoreAudio: matched input device \"Cafe\xCC\x81 Mic\" (id=9, channels=1)\n");
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

TEST_F(DeviceLookup, ListSizeNotAMultipleOfFourDropsThePartialEntry) {
  add(1, "One");
  add(2, "Two");
  platform.deviceProperties.listSize = 7;
  EXPECT_EQ(find("Two"), std::nullopt);
  EXPECT_EQ(platform.deviceProperties.namesRead, std::vector<AudioObjectID>{1});
}

TEST_F(DeviceLookup, EntriesTheReadLeftAtZeroAreExaminedLikeAnyOther) {
  add(7, "Seven");
  add(8, "Eight");
  add(0, "Zero");  // only reachable through an entry the read did not fill
  platform.deviceProperties.listReadEntries = 1;
  EXPECT_EQ(find("Zero"), 0u);
  EXPECT_EQ(lines().back(),
            "[tamsel] CoreAudio: matched input device \"Zero\" (id=0, channels=1)\n");
}

// A platform that claims more buffers than the bytes it reported can hold must
// not make the lookup read past its storage (ASan would see it).
TEST_F(DeviceLookup, BufferCountIsLimitedToWhatTheReportedSizeHolds) {
  FakeDevice& liar = add(3, "Liar", {2});
  liar.claimedBuffers = 1000;
  FakeDevice& tiny = add(4, "Tiny", {2});
  tiny.configSize = 2;  // too small for even the count
  tiny.claimedBuffers = 1000;
  EXPECT_EQ(find("Tiny"), std::nullopt);
  EXPECT_EQ(find("Liar"), 3u);
  EXPECT_EQ(lines().back(),
            "[tamsel] CoreAudio: matched input device \"Liar\" (id=3, channels=2)\n");
  EXPECT_TRUE(platform.deviceProperties.storageAlwaysAligned);
}

}  // namespace
}  // namespace velloc::fake

// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The reader model, byte for byte: replies to every command, framing and
// resynchronisation, swipes, the rate switch and the fault switches; the
// fault table and the fault command's words; cards written as track texts;
// the sample cards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "korvel_sim.h"

namespace korvel::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Feeds `request` at time `now` with a matching line and returns what is due
// at once.
Bytes Ask(ReaderModel& m, const Bytes& request, int64_t now = 0, uint32_t host_baud = 0) {
  m.Receive(request.data(), request.size(), now, host_baud == 0 ? m.state().baud : host_baud);
  return m.TakeOutput(now);
}

const Bytes kDefaultRecord = {'%', '?', ';', '?', '+', '?', '7', '1'};

struct CommandCase {
  const char* name;
  Bytes request;
  Bytes reply;
};

// ctest shows the case's name, not its bytes.
void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandTable : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTable, RepliesByteForByte) {
  ReaderModel m;
  EXPECT_EQ(Ask(m, GetParam().request), GetParam().reply);
  EXPECT_EQ(m.NextDue(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, CommandTable,
    ::testing::Values(
        CommandCase{
            "ActiveMode", {0x02, 0x02, 0x30, 0x30, 0x03, 0x03}, {0x02, 0x03, 0x30, 0x30, 0x59, 0x03, 0x5B}},
        CommandCase{
            "CommandMode", {0x02, 0x02, 0x30, 0x31, 0x03, 0x02}, {0x02, 0x03, 0x30, 0x31, 0x59, 0x03, 0x5A}},
        CommandCase{"BadMode",
                    {0x02, 0x02, 0x30, 0x32, 0x03, 0x01},
                    {0x02, 0x04, 0x30, 0x32, 0x4E, kErrorBadParameter, 0x03, 0x4B}},
        CommandCase{"QueryMode",
                    {0x02, 0x02, 0x31, 0x30, 0x03, 0x02},
                    {0x02, 0x04, 0x31, 0x30, 0x59, 0x31, 0x03, 0x6C}},
        CommandCase{"Identification",
                    {0x02, 0x02, 0x32, 0x30, 0x03, 0x01},
                    {0x02, 0x0F, 0x32, 0x30, 0x59, 0x4D, 0x53, 0x52, 0x2D, 0x33, 0x54, 0x20, 0x56, 0x32, 0x2E,
                     0x31, 0x30, 0x03, 0x38}},
        CommandCase{"ReadDataBeforeSwipe",
                    {0x02, 0x02, 0x33, 0x30, 0x03, 0x00},
                    {0x02, 0x04, 0x33, 0x30, 0x4E, kErrorNoCard, 0x03, 0x4B}},
        CommandCase{
            "Rate19200", {0x02, 0x02, 0x34, 0x32, 0x03, 0x05}, {0x02, 0x03, 0x34, 0x32, 0x59, 0x03, 0x5D}},
        CommandCase{"BadRate",
                    {0x02, 0x02, 0x34, 0x39, 0x03, 0x0E},
                    {0x02, 0x04, 0x34, 0x39, 0x4E, kErrorBadParameter, 0x03, 0x44}},
        CommandCase{"TrackSettingsEchoFirstParameterOnly",
                    {0x02, 0x09, 0x35, 0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31, 0x03, 0x31},
                    {0x02, 0x03, 0x35, 0x25, 0x59, 0x03, 0x4B}},
        CommandCase{"TrackSettingsTooShort",
                    BuildRequest('5', {0x25, 0x3F, 0x3B}),
                    {0x02, 0x04, 0x35, 0x25, 0x4E, kErrorBadParameter, 0x03, 0x59}},
        CommandCase{"UnknownCommand",
                    BuildRequest('9', {'0'}),
                    {0x02, 0x04, 0x39, 0x30, 0x4E, kErrorUnknownCommand, 0x03, 0x43}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderModel, CarriesOutWhatItAccepts) {
  ReaderModel m;
  Ask(m, BuildRequest('0', {'0'}));
  EXPECT_EQ(m.state().mode, '0');
  EXPECT_EQ(Ask(m, BuildRequest('1', {'0'})), BuildReply('1', '0', 'Y', {'0'}));
  Ask(m, BuildRequest('0', {'7'}));  // refused: the mode stays
  EXPECT_EQ(m.state().mode, '0');

  const Bytes record = {0x03, 0x11, 0x13, 0x0D, 0x0A, 0x7F, '7', '0'};
  EXPECT_EQ(Ask(m, BuildRequest('5', record)), BuildReply('5', 0x03, 'Y', {}));
  EXPECT_TRUE(std::equal(record.begin(), record.end(), m.state().track_settings.begin()));
}

TEST(ReaderModel, IdentificationComesFromTheOptions) {
  Options o;
  o.identification = "R1";
  ReaderModel m(o);
  EXPECT_EQ(Ask(m, BuildRequest('2', {'0'})), (Bytes{0x02, 0x05, 0x32, 0x30, 0x59, 0x52, 0x31, 0x03, 0x3C}));
}

TEST(ReaderModel, FramingFaultsAreIgnoredAndTheNextFrameIsFound) {
  ReaderModel m;
  const Bytes good = BuildRequest('1', {'0'});
  Bytes bad_bcc = good;
  bad_bcc.back() ^= 0x40;
  Bytes no_etx = good;
  no_etx[4] = 0x04;
  uint8_t bcc = 0;
  for (size_t i = 0; i + 1 < no_etx.size(); ++i) bcc ^= no_etx[i];
  no_etx[5] = bcc;  // a right block check over a wrong ETX

  EXPECT_TRUE(Ask(m, bad_bcc).empty());
  EXPECT_TRUE(Ask(m, no_etx).empty());
  EXPECT_TRUE(Ask(m, {0x02, 0x00, 0x03, 0x01}).empty());  // LEN 0: no command

  // Garbage, then a frame split over two arrivals, then two frames at once.
  Bytes stream = {0xFF, 0x15, 0x00};
  stream.insert(stream.end(), good.begin(), good.begin() + 3);
  EXPECT_TRUE(Ask(m, stream).empty());
  EXPECT_EQ(Ask(m, Bytes(good.begin() + 3, good.end()), 10), BuildReply('1', '0', 'Y', {'1'}));
  Bytes two = BuildRequest('0', {'0'});
  two.insert(two.end(), good.begin(), good.end());
  Bytes both = BuildReply('0', '0', 'Y', {});
  const Bytes second = BuildReply('1', '0', 'Y', {'0'});
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(Ask(m, two, 20), both);
}

TEST(ReaderModel, AStaleIncompleteRequestIsDropped) {
  ReaderModel m;
  EXPECT_TRUE(Ask(m, {0x02, 0x30}, 0).empty());  // announces 48 more bytes
  // Long after, a whole request: the stale start must not swallow it.
  EXPECT_EQ(Ask(m, BuildRequest('1', {'0'}), kInterByteTimeoutMs + 1), BuildReply('1', '0', 'Y', {'1'}));
}

TEST(ReaderModel, ActiveModeSwipeSendsSentinelsAndCrLf) {
  Options o;
  o.mode = '0';
  ReaderModel m(o);
  const Card card{"t", "B4111^A/B^2912", "4111=2912", ""};
  m.Swipe(card, 5);
  const Bytes expected = Str("%B4111^A/B^2912?\r\n;4111=2912?\r\n");
  EXPECT_EQ(m.TakeOutput(5), expected);
  EXPECT_EQ(m.state().last_swipe, expected);
  EXPECT_EQ(m.TrackBytes(card), expected);

  // New sentinels (binary ones too) and the Enter mark off.
  Ask(m, BuildRequest('5', {0x00, 0x7F, 'S', 'E', '[', ']', '7', '0'}));
  m.Swipe(Card{"t", "T1", "T2", "T3"}, 6);
  EXPECT_EQ(m.TakeOutput(6), (Bytes{0x00, 'T', '1', 0x7F, 'S', 'T', '2', 'E', '[', 'T', '3', ']'}));
}

TEST(ReaderModel, CommandModeHoldsTheSwipeForReadData) {
  ReaderModel m;
  const Card& card = SampleCards()[3];  // track 2 only
  m.Swipe(card, 0);
  EXPECT_TRUE(m.TakeOutput(100).empty());
  const Bytes data = Str(";" + card.track2 + "?\r\n");
  EXPECT_EQ(Ask(m, BuildRequest('3', {'0'})), BuildReply('3', '0', 'Y', data));
}

TEST(ReaderModel, NotesNobodyTakesAreBoundedAndTheDroppedOnesCounted) {
  ReaderModel m;
  for (size_t i = 0; i < kMaxNotes + 7; ++i) m.Swipe(SampleCards()[0], 0);
  std::vector<std::string> notes = m.TakeNotes();
  ASSERT_EQ(notes.size(), kMaxNotes + 1);
  EXPECT_EQ(notes.front().rfind("7 line(s) of output dropped", 0), 0u) << notes.front();
  m.Swipe(SampleCards()[0], 0);
  notes = m.TakeNotes();
  ASSERT_EQ(notes.size(), 1u);  // counted once
  EXPECT_NE(notes[0].find("swipe"), std::string::npos);
}

TEST(ReaderModel, RateChangeAnswersAtTheOldRateThenListensOnlyAtTheNew) {
  ReaderModel m;
  const Bytes query = BuildRequest('1', {'0'});
  EXPECT_EQ(Ask(m, BuildRequest('4', {'3'}), 0, 9600), BuildReply('4', '3', 'Y', {}));
  EXPECT_EQ(m.state().baud, 38400u);
  EXPECT_TRUE(Ask(m, query, 1000, 9600).empty());
  EXPECT_EQ(Ask(m, query, 2000, 38400), BuildReply('1', '0', 'Y', {'1'}));
}

TEST(ReaderModel, FaultsShapeTheReply) {
  const Bytes id = BuildRequest('2', {'0'});
  const Bytes full = BuildReply('2', '0', 'Y', Str("MSR-3T V2.10"));
  ReaderModel m;

  m.SetFault({Fault::kSilent});
  EXPECT_TRUE(Ask(m, BuildRequest('0', {'0'})).empty());
  EXPECT_EQ(m.NextDue(), -1);
  EXPECT_EQ(m.state().mode, '1');  // a silent reader carries nothing out

  FaultSettings slow{Fault::kSlow};
  slow.delay_ms = 4000;
  m.SetFault(slow);
  EXPECT_TRUE(Ask(m, id, 100).empty());
  EXPECT_EQ(m.NextDue(), 4100);
  EXPECT_TRUE(m.TakeOutput(4099).empty());
  EXPECT_EQ(m.TakeOutput(4100), full);

  FaultSettings cut{Fault::kCutShort};
  cut.cut_bytes = 5;
  m.SetFault(cut);
  EXPECT_EQ(Ask(m, id, 5000), Bytes(full.begin(), full.end() - 5));

  FaultSettings noise{Fault::kNoise};
  noise.noise = {0x15, 0xFF};
  m.SetFault(noise);
  Bytes noisy = {0x15, 0xFF};
  noisy.insert(noisy.end(), full.begin(), full.end());
  EXPECT_EQ(Ask(m, id, 6000), noisy);

  FaultSettings refuse{Fault::kRefuse};
  refuse.error_byte = 0x05;
  m.SetFault(refuse);
  EXPECT_EQ(Ask(m, id, 7000), (Bytes{0x02, 0x04, 0x32, 0x30, 0x4E, 0x05, 0x03, 0x4C}));

  m.SetFault({Fault::kHangUp});
  EXPECT_TRUE(Ask(m, id, 8000).empty());
  EXPECT_TRUE(m.TakeHangUp());
  EXPECT_FALSE(m.TakeHangUp());

  // The mode query with a chosen mode byte, or with no data; the other
  // commands as ever.
  const Bytes query = BuildRequest('1', {'0'});
  FaultSettings mode{Fault::kModeByte};
  EXPECT_EQ(mode.mode_byte, uint8_t{'2'});
  m.SetFault(mode);
  EXPECT_EQ(Ask(m, query, 9000), BuildReply('1', '0', 'Y', {'2'}));
  mode.mode_byte = 0x7F;
  m.SetFault(mode);
  EXPECT_EQ(Ask(m, query, 9001), BuildReply('1', '0', 'Y', {0x7F}));
  mode.mode_byte.reset();
  m.SetFault(mode);
  EXPECT_EQ(Ask(m, query, 9002), (Bytes{0x02, 0x03, 0x31, 0x30, 0x59, 0x03, 0x5A}));
  EXPECT_EQ(Ask(m, id, 9003), full);
  EXPECT_EQ(m.state().mode, '1');
}

// A reply that the slow fault holds back meets a new fault: sent at once,
// re-timed or dropped; a swipe queued behind it follows it.
struct HeldCase {
  const char* name;
  FaultSettings next;
  int64_t due;  // when the held reply is due now; -1: dropped
};

void PrintTo(const HeldCase& c, std::ostream* os) {
  *os << c.name;
}

FaultSettings Slow(int delay_ms) {
  FaultSettings f{Fault::kSlow};
  f.delay_ms = delay_ms;
  return f;
}

class HeldReply : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldReply, TakesTheNewFaultAtOnce) {
  Options o;
  o.mode = '0';
  ReaderModel m(o);
  m.SetFault(Slow(20000), 0);
  const Bytes reply = BuildReply('2', '0', 'Y', Str("MSR-3T V2.10"));
  EXPECT_TRUE(Ask(m, BuildRequest('2', {'0'}), 100).empty());  // held until 20100
  const Card card{"t", "", "4111=2912", ""};
  m.Swipe(card, 200);
  Bytes swipe = m.TrackBytes(card);
  EXPECT_EQ(m.NextDue(), 20100);

  m.SetFault(GetParam().next, 1000);
  const int64_t due = GetParam().due;
  if (due < 0) {
    EXPECT_EQ(m.NextDue(), 200);
    EXPECT_EQ(m.TakeOutput(1000), swipe);
    EXPECT_TRUE(m.TakeOutput(100000).empty());
    return;
  }
  EXPECT_EQ(m.NextDue(), due);
  EXPECT_TRUE(m.TakeOutput(due - 1).empty());
  Bytes both = reply;
  both.insert(both.end(), swipe.begin(), swipe.end());
  EXPECT_EQ(m.TakeOutput(due), both);
}

INSTANTIATE_TEST_SUITE_P(Model, HeldReply,
                         ::testing::Values(HeldCase{"NoneSendsItNow", {Fault::kNone}, 1000},
                                           HeldCase{"OtherFaultsSendItNowAsBuilt", {Fault::kCutShort}, 1000},
                                           HeldCase{"AModeFaultSendsItNow", {Fault::kModeByte}, 1000},
                                           HeldCase{"ShorterSlowIsDueSinceTheRequest", Slow(5000), 5100},
                                           HeldCase{"ShorterSlowAlreadyPastSendsItNow", Slow(500), 1000},
                                           HeldCase{"LongerSlowWaitsLonger", Slow(30000), 30100},
                                           HeldCase{"SilentDropsIt", {Fault::kSilent}, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderModel, BurstRepeatsTheTracksOnceInActiveMode) {
  Options o;
  o.mode = '0';
  ReaderModel m(o);
  FaultSettings burst{Fault::kBurst};
  burst.burst_bytes = 301;
  m.SetFault(burst);
  const Card& card = SampleCards()[0];
  const Bytes tracks = m.TrackBytes(card);
  m.Swipe(card, 0);
  const Bytes out = m.TakeOutput(0);
  ASSERT_EQ(out.size(), 301u);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], tracks[i % tracks.size()]) << i;
  EXPECT_EQ(m.fault().fault, Fault::kNone);
  m.Swipe(card, 1);
  EXPECT_EQ(m.TakeOutput(1), tracks);
}

TEST(ReaderModel, LineTimingPacesBytesAtTheRate) {
  Options o;
  o.line_timing = true;
  ReaderModel m(o);
  const Bytes reply = Ask(m, BuildRequest('1', {'0'}), 1000);  // 8 bytes, 1.04 ms each at 9600
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(m.TakeOutput(1004).size(), 3u);
  EXPECT_EQ(m.TakeOutput(1009).size(), 5u);

  // A held reply let go is paced from the moment it is let go.
  m.SetFault(Slow(20000), 1010);
  EXPECT_TRUE(Ask(m, BuildRequest('1', {'0'}), 2000).empty());
  m.SetFault({Fault::kNone}, 3000);
  EXPECT_EQ(m.TakeOutput(3004).size(), 3u);
  EXPECT_EQ(m.TakeOutput(3009).size(), 5u);
}

// The fault command's words, read and written back.
struct FaultWordsCase {
  const char* words;
  const char* settings;  // DescribeFault of the result; null: refused
};

class FaultWords : public ::testing::TestWithParam<FaultWordsCase> {};

TEST_P(FaultWords, ReadAndWrittenBack) {
  FaultSettings f;
  f.fault = Fault::kBurst;  // left alone when the words are refused
  std::string error;
  const bool ok = ParseFault(GetParam().words, &f, &error);
  if (GetParam().settings == nullptr) {
    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(f.fault, Fault::kBurst);
    return;
  }
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(DescribeFault(f), GetParam().settings);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultWords,
    ::testing::Values(FaultWordsCase{"none", "none"}, FaultWordsCase{"  silent ", "silent"},
                      FaultWordsCase{"slow", "slow 4000"}, FaultWordsCase{"slow 20000", "slow 20000"},
                      FaultWordsCase{"slow 9999999", "slow 600000"}, FaultWordsCase{"cut 5", "cut 5"},
                      FaultWordsCase{"noise", "noise 15"},
                      FaultWordsCase{"noise 15ff 0x0d 7", "noise 15 FF 0D 07"},
                      FaultWordsCase{"refuse 7", "refuse 07"}, FaultWordsCase{"burst 100000", "burst 65536"},
                      FaultWordsCase{"hangup", "hangup"}, FaultWordsCase{"mode", "mode 32"},
                      FaultWordsCase{"mode 0x02", "mode 02"}, FaultWordsCase{"mode none", "mode none"},
                      FaultWordsCase{"", nullptr}, FaultWordsCase{"sloww", nullptr},
                      FaultWordsCase{"slow x", nullptr}, FaultWordsCase{"slow -1", nullptr},
                      FaultWordsCase{"slow 1 2", nullptr}, FaultWordsCase{"none 3", nullptr},
                      FaultWordsCase{"noise zz", nullptr}, FaultWordsCase{"refuse 0102", nullptr},
                      FaultWordsCase{"mode 1 2", nullptr}));

TEST(Faults, OneTableNamesEveryFault) {
  const auto table = FaultTable();
  ASSERT_EQ(table.size(), static_cast<size_t>(Fault::kModeByte) + 1);
  for (size_t i = 0; i < table.size(); ++i) {
    const FaultInfo& info = table[i];
    SCOPED_TRACE(info.name);
    EXPECT_EQ(static_cast<size_t>(info.fault), i);
    EXPECT_EQ(&InfoOf(info.fault), &info);
    EXPECT_STREQ(FaultName(info.fault), info.name);
    EXPECT_NE(std::string(info.label), "");
    EXPECT_NE(std::string(info.help), "");
    EXPECT_EQ(info.argument == FaultArgument::kNone, std::string(info.argument_name).empty());
    for (size_t j = 0; j < i; ++j) EXPECT_STRNE(table[j].label, info.label);
    // The name alone gives the fault with its default argument.
    FaultSettings f;
    ASSERT_TRUE(ParseFault(info.name, &f));
    EXPECT_EQ(f.fault, info.fault);
    FaultSettings defaults;
    defaults.fault = info.fault;
    EXPECT_EQ(DescribeFault(f), DescribeFault(defaults));
    EXPECT_EQ(FaultArgumentText(f).empty(), info.argument == FaultArgument::kNone);
  }
}

// Cards written as track texts.
struct TracksCase {
  const char* text;
  bool ok;
  std::string track1, track2, track3;
};

class Tracks : public ::testing::TestWithParam<TracksCase> {};

TEST_P(Tracks, AreRead) {
  Card card{"name", "old 1", "old 2", "old 3", "key"};
  std::string error;
  const TracksCase& c = GetParam();
  EXPECT_EQ(ParseTracks(c.text, &card, &error), c.ok) << error;
  if (!c.ok) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(card.track1, c.track1);
  EXPECT_EQ(card.track2, c.track2);
  EXPECT_EQ(card.track3, c.track3);
  EXPECT_EQ(card.name, "name");
  EXPECT_EQ(card.key, "key");
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Tracks,
    ::testing::Values(TracksCase{"2=4111111111111111=2912", true, "", "4111111111111111=2912", ""},
                      TracksCase{"1=B4111111111111111^TEST/CARD NAME^2912 2=4111111111111111=2912", true,
                                 "B4111111111111111^TEST/CARD NAME^2912", "4111111111111111=2912", ""},
                      TracksCase{"  3=0155  1=A 1 2 \t 2=22  ", true, "A 1 2", "22", "0155"},
                      TracksCase{"1=x2=y", true, "x2=y", "", ""},  // "N=" starts a track only after a blank
                      TracksCase{R"(2=\x00\x7f\\\x3B)", true, "", std::string("\0\x7F\\;", 4), ""},
                      TracksCase{"1=\\x20 2=", true, " ", "", ""}, TracksCase{"", false, "", "", ""},
                      TracksCase{"   ", false, "", "", ""}, TracksCase{"4=1234", false, "", "", ""},
                      TracksCase{"4111=2912", false, "", "", ""}, TracksCase{"1=a 1=b", false, "", "", ""},
                      TracksCase{R"(2=\x4)", false, "", "", ""}, TracksCase{R"(2=\xZZ)", false, "", "", ""},
                      TracksCase{R"(2=a\b)", false, "", "", ""}));

// The sample cards, each checked for what it is made to be.
bool Luhn(const std::string& pan) {
  int sum = 0;
  bool twice = false;
  for (auto it = pan.rbegin(); it != pan.rend(); ++it) {
    int d = *it - '0';
    if (twice && (d *= 2) > 9) d -= 9;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

// Track 1 holds 0x20..0x5F; tracks 2 and 3 hold 0x30..0x3F.
bool InSet(const std::string& track, char low, char high) {
  return std::all_of(track.begin(), track.end(), [&](char c) { return c >= low && c <= high; });
}

struct CardFacts {
  std::string pan1, expiry1;  // from a format 'B' track 1
  std::string pan2, expiry2;  // from a track 2 in the PAN=YYMM layout
  bool in_set = true;

  explicit CardFacts(const Card& c) {
    if (c.track1.size() > 1 && c.track1[0] == 'B') {
      const size_t a = c.track1.find('^');
      const size_t b = c.track1.find('^', a + 1);
      if (a != std::string::npos && b != std::string::npos) {
        pan1 = c.track1.substr(1, a - 1);
        expiry1 = c.track1.substr(b + 1, 4);
      }
    }
    const size_t eq = c.track2.find('=');
    if (eq != std::string::npos) {
      pan2 = c.track2.substr(0, eq);
      expiry2 = c.track2.substr(eq + 1, 4);
    }
    in_set = InSet(c.track1, 0x20, 0x5F) && InSet(c.track2, 0x30, 0x3F) && InSet(c.track3, 0x30, 0x3F);
  }
};

TEST(SampleCards, TheFirstFourStayInOrder) {
  const auto& cards = SampleCards();
  const char* first[] = {"visa", "mastercard", "amex", "discover"};
  ASSERT_EQ(kWellFormedSampleCards, 4u);
  ASSERT_GT(cards.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cards[i].key, first[i]);
  EXPECT_FALSE(cards[1].track3.empty());
  EXPECT_TRUE(cards[3].track1.empty() && cards[3].track3.empty());
  EXPECT_EQ(FindSampleCard("expired"), &cards[5]);
  EXPECT_EQ(FindSampleCard("no-such-card"), nullptr);
}

TEST(SampleCards, EachIsWhatItsKeySays) {
  const auto& cards = SampleCards();
  std::vector<std::string> keys;
  for (const Card& c : cards) {
    SCOPED_TRACE(c.key);
    EXPECT_FALSE(c.name.empty());
    EXPECT_TRUE(!c.key.empty() && InSet(c.key, '-', 'z') &&
                c.key.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), c.key), 0);
    keys.push_back(c.key);
    EXPECT_LE(c.track1.size(), 76u);   // 79 with sentinels and LRC
    EXPECT_LE(c.track2.size(), 37u);   // 40
    EXPECT_LE(c.track3.size(), 104u);  // 107
    const CardFacts f(c);
    if (c.key == "member") {
      EXPECT_NE(c.track1[0], 'B');
      EXPECT_EQ(c.track2.find('='), std::string::npos);
      EXPECT_TRUE(InSet(c.track2, '0', '9'));
      EXPECT_TRUE(f.in_set);
      continue;
    }
    // A payment card: a format 'B' track 1 (when there is one) and track 2
    // with the card number and the expiry date.
    ASSERT_FALSE(f.pan2.empty());
    ASSERT_EQ(c.track1.empty(), f.pan1.empty());
    EXPECT_EQ(Luhn(f.pan2), c.key != "luhn-fail");
    EXPECT_EQ(f.in_set, c.key != "bad-chars");
    EXPECT_EQ(f.expiry2 < "2001", c.key == "expired");
    if (!c.track1.empty()) {
      EXPECT_EQ(f.pan1 == f.pan2 && f.expiry1 == f.expiry2, c.key != "mismatch");
      if (c.key == "mismatch") {
        EXPECT_TRUE(Luhn(f.pan1) && f.pan1 != f.pan2 && f.expiry1 != f.expiry2);
      }
    }
  }
  for (const char* key : {"luhn-fail", "expired", "mismatch", "member", "bad-chars"})
    EXPECT_NE(FindSampleCard(key), nullptr) << key;
}

}  // namespace
}  // namespace korvel::sim

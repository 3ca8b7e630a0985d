// The console tool's command line, the exit status it derives from what the
// window logic did, and the JSON it writes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "frontends/console_cli.h"
#include "frontends/json_writer.h"

namespace {

// ---- options -----------------------------------------------------------------

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  const char* error;  // a piece of the error text, when not ok
  std::vector<std::string> ports;
  bool update, yes, verify, json, quiet, sim;
  const char* simPort;
  cli::Rescue rescue;  // how a plug found in its boot monitor is answered
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionTable : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTable, Parses) {
  const OptionCase& c = GetParam();
  const cli::Parsed p = cli::ParseOptions(c.args);
  ASSERT_EQ(p.ok, c.ok) << p.error;
  if (!c.ok) {
    EXPECT_NE(p.error.find(c.error), std::string::npos) << p.error;
    return;
  }
  EXPECT_EQ(p.options.ports, c.ports);
  EXPECT_EQ(p.options.update, c.update);
  EXPECT_EQ(p.options.yes, c.yes);
  EXPECT_EQ(p.options.verify, c.verify);
  EXPECT_EQ(p.options.json, c.json);
  EXPECT_EQ(p.options.quiet, c.quiet);
  EXPECT_EQ(p.options.sim, c.sim);
  EXPECT_EQ(p.options.simPort, c.simPort);
  EXPECT_EQ(p.options.rescue, c.rescue);
}

const std::vector<std::string> kNone;
using R = cli::Rescue;

OptionCase Bad(const char* name, std::vector<std::string> args, const char* error) {
  return OptionCase{name, std::move(args), false, error, kNone, false, false, true, false, false, false, "COM1",
                    R::Ask};
}

INSTANTIATE_TEST_SUITE_P(
    Console, OptionTable,
    ::testing::Values(
        OptionCase{"Nothing", {}, true, "", kNone, false, false, true, false, false, false, "COM1", R::Ask},
        OptionCase{"PortsInOrder",
                   {"--port", "/dev/ttyUSB1", "--port=COM7", "--port", "/dev/serial/by-id/usb-x"},
                   true, "", {"/dev/ttyUSB1", "COM7", "/dev/serial/by-id/usb-x"},
                   false, false, true, false, false, false, "COM1", R::Ask},
        OptionCase{"ScriptRun", {"--update", "--yes", "--json", "--no-verify", "--quiet"}, true, "", kNone,
                   true, true, false, true, true, false, "COM1", R::Yes},
        OptionCase{"SimLastWins", {"--sim", "--update", "--sim=none"}, true, "", kNone,
                   true, false, true, false, false, true, "none", R::Ask},
        OptionCase{"SimOldPlug", {"--sim=COM2", "--product=1010", "--wire"}, true, "", kNone,
                   false, false, true, false, false, true, "COM2", R::Ask},
        OptionCase{"SerialIsTheDefault", {"--serial", "-y"}, true, "", kNone,
                   false, true, true, false, false, false, "COM1", R::No},
        Bad("PortWithoutName", {"--port"}, "--port needs"),
        Bad("PortEmpty", {"--port="}, "--port needs"),
        Bad("Unknown", {"--update", "--force"}, "'--force'"),
        Bad("Positional", {"COM3"}, "'COM3'"),
        Bad("BadSimPort", {"--sim=COM3"}, "COM1, COM2 or none"),
        Bad("ProductNeedsFour", {"--sim", "--product=101"}, "four"),
        Bad("ProductWithoutSim", {"--product=1010"}, "--sim"),
        Bad("WireWithoutSim", {"--wire", "--port", "COM1"}, "--sim"),
        Bad("SimAndPort", {"--sim", "--port", "COM1"}, "simulated plug"),
        Bad("QuietAndVerbose", {"-q", "-v"}, "exclude")),
    [](const ::testing::TestParamInfo<OptionCase>& param) { return std::string(param.param.name); });

TEST(ConsoleHelp, NamesEveryExitStatus) {
  const std::string help = cli::HelpText("plugupdate-console");
  for (int status = 0; status <= 8; ++status) {
    EXPECT_NE(help.find("\n  " + std::to_string(status) + "  "), std::string::npos) << status;
  }
  for (const char* option : {"--port", "--list-ports", "--update", "--yes", "--no-verify", "--json", "--quiet",
                             "--version", "--help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

// ---- exit status -----------------------------------------------------------

struct StatusCase {
  const char* name;
  flow::Result result;
  flow::Stage stage;
  bool portError;
  bool proofRun;
  const char* after;  // the banner of the second search, null: no answer
  cli::ExitStatus status;
  const char* resultName;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class StatusTable : public ::testing::TestWithParam<StatusCase> {};

const char* const kCarried = "Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26";
const char* const kOld = "Orvane QUOR PLUG Firmware Revision 1.60.4 Build Jul 17 2001 09:12:44";

TEST_P(StatusTable, Concludes) {
  const StatusCase& c = GetParam();
  cli::Observed o;
  o.ended = true;
  o.result = c.result;
  o.stage = c.stage;
  o.portError = c.portError;
  o.proofRun = c.proofRun;
  o.proofAnswered = c.after != nullptr;
  o.bannerAfter = c.after != nullptr ? c.after : "";
  o.carriedBanner = kCarried;
  const cli::Outcome outcome = cli::Conclude(o);
  EXPECT_EQ(outcome.status, c.status);
  EXPECT_EQ(outcome.name, c.resultName);
  EXPECT_FALSE(outcome.text.empty());
}

using Res = flow::Result;
using St = flow::Stage;

INSTANTIATE_TEST_SUITE_P(
    Console, StatusTable,
    ::testing::Values(
        StatusCase{"VersionShown", Res::Reported, St::Report, false, false, nullptr, cli::kOk, "version-shown"},
        StatusCase{"Verified", Res::Flashed, St::Finish, false, true, kCarried, cli::kOk, "verified"},
        StatusCase{"OtherBanner", Res::Flashed, St::Finish, false, true, kOld, cli::kNotVerified, "other-banner"},
        // A banner that changed, but not to the carried one, proves nothing.
        StatusCase{"ChangedButNotCarried", Res::Flashed, St::Finish, false, true,
                   "Orvane QUOR PLUG Firmware Revision 1.62.0 Build Oct 01 2002 11:00:00", cli::kNotVerified,
                   "other-banner"},
        StatusCase{"NotAnswering", Res::Flashed, St::Finish, false, true, nullptr, cli::kNotVerified,
                   "not-answering"},
        StatusCase{"NoVerify", Res::Flashed, St::Finish, false, false, nullptr, cli::kNotVerified, "not-verified"},
        StatusCase{"NoPlug", Res::NoPlug, St::Search, false, false, nullptr, cli::kNoPlug, "no-plug"},
        StatusCase{"NoPlugButPortFailed", Res::NoPlug, St::Search, true, false, nullptr, cli::kPortError,
                   "port-error"},
        StatusCase{"FoundDespiteAFailedPort", Res::Reported, St::Report, true, false, nullptr, cli::kOk,
                   "version-shown"},
        StatusCase{"TooOld", Res::TooOld, St::Search, false, false, nullptr, cli::kTooOld, "too-old"},
        StatusCase{"NoMonitor", Res::NoMonitor, St::MonitorSwitch, false, false, nullptr, cli::kNoMonitor,
                   "no-monitor"},
        StatusCase{"UpdateFailed", Res::UpdateFailed, St::Upload, false, false, nullptr, cli::kUpdateFailed,
                   "update-failed"},
        StatusCase{"MonitorLeftAlone", Res::RescueDeclined, St::Search, false, false, nullptr, cli::kUpdateFailed,
                   "in-monitor"},
        StatusCase{"WriteFailedInTheUpdate", Res::PortError, St::Upload, false, false, nullptr, cli::kPortError,
                   "port-error"},
        StatusCase{"WriteFailedBeforeTheMonitor", Res::PortError, St::MonitorSwitch, false, false, nullptr,
                   cli::kPortError, "port-error"},
        StatusCase{"InterruptedBeforeTheUpdate", Res::Interrupted, St::Report, false, false, nullptr,
                   cli::kInterrupted, "interrupted"},
        StatusCase{"InterruptedInTheUpload", Res::InterruptedInMonitor, St::Upload, false, false, nullptr,
                   cli::kUpdateFailed, "interrupted-in-monitor"}),
    [](const ::testing::TestParamInfo<StatusCase>& param) { return std::string(param.param.name); });

// ---- JSON ------------------------------------------------------------------

struct EscapeCase {
  const char* name;
  std::string cp1252;
  std::string json;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class JsonEscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapeTable, CarriesTheBannerInAscii) {
  const EscapeCase& c = GetParam();
  json::Writer w;
  w.BeginObject().String("b", c.cp1252).EndObject();
  EXPECT_EQ(w.Text(), "{\"b\":" + c.json + "}");
}

INSTANTIATE_TEST_SUITE_P(
    Console, JsonEscapeTable,
    ::testing::Values(
        EscapeCase{"Plain", "Orvane QUOR PLUG 1.63.2", "\"Orvane QUOR PLUG 1.63.2\""},
        EscapeCase{"Empty", "", "\"\""},
        EscapeCase{"Quotes", "say \"1.63\"", "\"say \\\"1.63\\\"\""},
        EscapeCase{"Backslash", "C:\\plug\\", "\"C:\\\\plug\\\\\""},
        EscapeCase{"Controls", "a\nb\rc\td\x01" "e\x1F" "f\x7F",
                   "\"a\\nb\\rc\\td\\u0001e\\u001ff\\u007f\""},
        EscapeCase{"ZeroByte", std::string("a\0b", 3), "\"a\\u0000b\""},
        EscapeCase{"Latin1", "l\xE4\xDFt m\xF6glich", "\"l\\u00e4\\u00dft m\\u00f6glich\""},
        EscapeCase{"EuroAndQuotes", "\x80 \x93x\x94", "\"\\u20ac \\u201cx\\u201d\""},
        EscapeCase{"Unassigned", "\x81", "\"\\ufffd\""},
        EscapeCase{"HighEnd", "\xFF\xA0", "\"\\u00ff\\u00a0\""}),
    [](const ::testing::TestParamInfo<EscapeCase>& param) { return std::string(param.param.name); });

TEST(JsonWriter, Utf8TextStaysValidAndObjectsNest) {
  json::Writer w;
  w.BeginObject()
      .Utf8String("port", "/dev/serial/by-id/usb-\xC3\xA4\xF0\x9F\x94\x8C")  // U+1F50C: a pair
      .Utf8String("bad", "x\xC3(\xED\xA0\x80y")  // cut sequence, surrogate
      .Int("exit_status", 6)
      .Null("banner_after")
      .Bool("ok", false)
      .BeginObject("seconds")
      .Fixed("search", 0.91249, 3)
      .Fixed("upload", 58.4, 1)
      .EndObject()
      // Empty ones, as a usage error writes them, keep the comma to the next.
      .BeginObject("none").EndObject()
      .BeginArray("ports").EndArray()
      .Int("after", 1)
      .EndObject();
  EXPECT_EQ(w.Text(),
            "{\"port\":\"/dev/serial/by-id/usb-\\u00e4\\ud83d\\udd0c\","
            "\"bad\":\"x\\ufffd(\\ufffd\\ufffd\\ufffdy\","
            "\"exit_status\":6,\"banner_after\":null,\"ok\":false,"
            "\"seconds\":{\"search\":0.912,\"upload\":58.4},\"none\":{},\"ports\":[],\"after\":1}");
}

}  // namespace

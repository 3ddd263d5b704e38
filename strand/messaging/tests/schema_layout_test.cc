// The field positions other programs rely on, checked against the schema compiler's own
// layout report ("capnp compile -ocapnp" prints every field's bit range or pointer slot).
// An edit of the schema that moves any of them fails here.

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/run_program.h"

namespace {

std::string layout_report(const std::string &file) {
  RunResult r = run_program({CAPNP_TOOL, "compile", "-ocapnp", std::string("--src-prefix=") + SCHEMA_DIR,
                             std::string(SCHEMA_DIR) + "/" + file});
  EXPECT_EQ(r.status, 0) << "capnp compile failed for " << file;
  return r.out;
}

// The lines of one top-level struct, from its header to its closing brace.
std::vector<std::string> struct_block(const std::string &report, const std::string &name) {
  std::vector<std::string> lines;
  std::istringstream in(report);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!inside && line.rfind("struct " + name + " @", 0) == 0) inside = true;
    if (!inside) continue;
    lines.push_back(line);
    if (line == "}") break;
  }
  return lines;
}

struct FieldLayout {
  bool found = false;
  std::string type;    // as declared, with any default ("Bool = true")
  std::string layout;  // the compiler's comment: "bits[80, 81)" or "ptr[0], union tag = 5"
};

// A field of the struct itself or of its unnamed union (not of nested structs).
FieldLayout field_layout(const std::vector<std::string> &block, const std::string &field) {
  std::regex re("^  (?:  )?" + field + " @[0-9]+ :(.*);  # (.*)$");
  FieldLayout f;
  for (const std::string &line : block) {
    std::smatch m;
    if (std::regex_match(line, m, re)) {
      f.found = true;
      f.type = m[1];
      f.layout = m[2];
    }
  }
  return f;
}

struct Contracted {
  const char *file;
  const char *structure;
  const char *field;
  const char *type;
  const char *layout;
};

const Contracted CONTRACTED[] = {
    {"log.capnp", "Event", "valid", "Bool = true", "bits[80, 81)"},
    {"log.capnp", "Event", "initData", "InitData", "ptr[0], union tag = 0"},
    {"log.capnp", "Event", "deviceState", "DeviceState", "ptr[0], union tag = 5"},
    {"log.capnp", "Event", "gpsLocation", "GpsLocationData", "ptr[0], union tag = 20"},
    {"log.capnp", "Event", "carState", "import \"/car.capnp\".CarState", "ptr[0], union tag = 21"},
    {"log.capnp", "Event", "carOutput", "import \"/car.capnp\".CarOutput", "ptr[0], union tag = 125"},
    {"log.capnp", "DeviceState", "started", "Bool", "bits[192, 193)"},
    {"log.capnp", "GpsLocationData", "speed", "Float32", "bits[32, 64)"},
    {"log.capnp", "GpsLocationData", "latitude", "Float64", "bits[64, 128)"},
    {"log.capnp", "GpsLocationData", "longitude", "Float64", "bits[128, 192)"},
    {"log.capnp", "GpsLocationData", "hasFix", "Bool", "bits[480, 481)"},
    {"car.capnp", "CarState", "gearShifter", "GearShifter", "bits[80, 96)"},
};

}  // namespace

TEST(SchemaLayout, ContractedFieldsStayInPlace) {
  std::map<std::string, std::string> reports;
  for (const Contracted &c : CONTRACTED) {
    if (!reports.count(c.file)) reports[c.file] = layout_report(c.file);
    std::vector<std::string> block = struct_block(reports[c.file], c.structure);
    ASSERT_FALSE(block.empty()) << "no struct " << c.structure << " in " << c.file;
    FieldLayout f = field_layout(block, c.field);
    SCOPED_TRACE(std::string(c.structure) + "." + c.field);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.type, c.type);
    EXPECT_EQ(f.layout, c.layout);
  }
}

// The union has exactly 126 members, tags 0..125, all sharing pointer 0, so any member a
// publisher sets lands where a reader of another member's topic looks.
TEST(SchemaLayout, EventUnionHas126PointerMembersSharingPointerZero) {
  std::vector<std::string> block = struct_block(layout_report("log.capnp"), "Event");
  ASSERT_FALSE(block.empty());
  std::regex member_re("^    [A-Za-z0-9]+ @[0-9]+ :.*;  # ptr\\[0\\], union tag = ([0-9]+)$");
  std::regex any_member_re("^    [A-Za-z0-9]+ @[0-9]+ :.*;  # .*$");
  std::set<int> tags;
  int members = 0;
  for (const std::string &line : block) {
    std::smatch m;
    if (std::regex_match(line, any_member_re)) {
      members++;
      ASSERT_TRUE(std::regex_match(line, m, member_re)) << "not a pointer-0 union member: " << line;
      tags.insert(std::stoi(m[1]));
    }
  }
  EXPECT_EQ(members, 126);
  ASSERT_EQ(tags.size(), 126u);
  EXPECT_EQ(*tags.begin(), 0);
  EXPECT_EQ(*tags.rbegin(), 125);
}

TEST(SchemaLayout, GearShifterEnumerants) {
  std::string report = layout_report("car.capnp");
  const char *names[] = {"unknown", "park", "drive", "neutral", "reverse",
                         "sport",   "low",  "brake", "eco",     "manumatic"};
  std::vector<std::string> block = struct_block(report, "CarState");
  std::string text;
  for (const std::string &line : block) text += line + "\n";
  for (int i = 0; i < 10; i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_NE(text.find(std::string("    ") + names[i] + " @" + std::to_string(i) + ";"), std::string::npos);
  }
}

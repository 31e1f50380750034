// Reference cases for the command-line program: every case folder under golden/ is run
// through the built bmpfun and compared on exit code, stdout and the output file's bytes.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

struct GoldenCase {
  std::string name;
  int exitCode = 0;
  bool writesOutput = false;
  bool printsStdout = false;
  std::vector<std::string> args;
};

// Cases whose commands do not exist yet, expected to fail until they do. Empty once every
// command and operation is in place.
const std::set<std::string> kExpectedFailures = {};

// The args column is a JSON array of plain strings.
std::vector<std::string> parseJsonStrings(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while ((i = text.find('"', i)) != std::string::npos) {
    std::string s;
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) {
        const char e = text[++i];
        if (e == 'n') s += '\n';
        else if (e == 't') s += '\t';
        else if (e == 'u' && i + 4 < text.size()) {
          const unsigned cp = static_cast<unsigned>(std::stoul(text.substr(i + 1, 4), nullptr, 16));
          i += 4;
          if (cp < 0x80) s += static_cast<char>(cp);
          else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
          }
        } else s += e;
      } else {
        s += text[i];
      }
    }
    out.push_back(s);
    ++i;
  }
  return out;
}

std::vector<GoldenCase> loadCases() {
  std::vector<GoldenCase> cases;
  std::ifstream in(std::filesystem::path(BMPFUN_TESTDATA_DIR) / "golden" / "cases.tsv");
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() != 5) continue;
    GoldenCase c;
    c.name = cols[0];
    c.exitCode = std::stoi(cols[1]);
    c.writesOutput = cols[2] != "-";
    c.printsStdout = cols[3] != "-";
    c.args = parseJsonStrings(cols[4]);
    cases.push_back(c);
  }
  return cases;
}

// Shown by GoogleTest instead of the object's bytes when a case fails.
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST(GoldenCases, AllPresent) {
  // The folder promises 156 cases; a short read of the table must not pass silently.
  EXPECT_EQ(loadCases().size(), 156u);
}

TEST_P(Golden, MatchesReference) {
  const GoldenCase& c = GetParam();
  const auto dir = testdata() / "golden" / c.name;
  TempDir scratch;
  const std::string out = scratch.file("out.bmp");
  std::vector<std::string> args;
  for (const auto& a : c.args) {
    if (a == "{in}") args.push_back((dir / "in.bmp").string());
    else if (a == "{out}") args.push_back(out);
    else args.push_back(a);
  }
  const RunResult r = runCli(args);
  const bool expectedToFail = kExpectedFailures.count(c.name) != 0;

  bool ok = r.exitCode == c.exitCode;
  std::string why;
  if (!ok) why = "exit " + std::to_string(r.exitCode) + ", stderr: " + r.err;
  if (ok && c.printsStdout) {
    const auto expected = readBytes(dir / "expected.stdout");
    ok = r.out == std::string(expected.begin(), expected.end());
    if (!ok) why = "stdout differs:\n" + r.out;
  } else if (ok && !r.out.empty()) {
    ok = false;
    why = "unexpected stdout: " + r.out;
  }
  if (ok) {
    const bool exists = std::filesystem::exists(out);
    if (c.writesOutput) {
      ok = exists && readBytes(out) == readBytes(dir / "expected.bmp");
      if (!ok) why = exists ? "output bytes differ" : "no output written";
    } else if (exists) {
      ok = false;
      why = "output written although the command must write nothing";
    }
  }
  if (expectedToFail) {
    EXPECT_FALSE(ok) << c.name << " passes now: take it off the expected-failure list";
  } else {
    EXPECT_TRUE(ok) << c.name << ": " << why;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(loadCases()),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n) if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
}  // namespace bmpfun::test

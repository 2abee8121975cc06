// The public JSONTestSuite parsing corpus: y_ files must parse, n_ files must not, and of the i_ files
// exactly those whose numbers underflow or exceed 64 bits parse. Everything that parses must survive a
// round trip through the canonical text, and the one-pass writer must make the same of every sample.
#include "json.h"
#include "json_canonical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace karvo::json {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = KARVO_JSON_SAMPLES_DIR;

const std::set<std::string> kImplementationDefinedThatParse = {
    "i_number_double_huge_neg_exp.json", "i_number_real_underflow.json", "i_number_too_big_neg_int.json",
    "i_number_too_big_pos_int.json", "i_number_very_big_negative_int.json"};

struct Sample {
  std::string name;
  std::string bytes;
};

std::vector<Sample> load(char prefix) {
  std::vector<Sample> samples;
  for (const auto& entry : fs::directory_iterator(kCorpus)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 2 || name[0] != prefix || name[1] != '_') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    samples.push_back({name, std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
  return samples;
}

// Parses from a heap block of exactly the text's size, so that a read past the end shows under the
// address sanitizer.
std::optional<Value> parse_exact(const std::string& bytes) {
  std::unique_ptr<char[]> block(new char[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  return parse(std::string_view(block.get(), bytes.size()));
}

void expect_round_trip(const Sample& sample, const Value& value) {
  const std::string text = serialise(value);
  std::optional<Value> again = parse_exact(text);
  ASSERT_TRUE(again.has_value()) << sample.name << " wrote " << text;
  EXPECT_EQ(*again, value) << sample.name << " wrote " << text;
  EXPECT_EQ(serialise(*again), text) << sample.name;
}

// The one-pass writer refuses what the tree refuses and otherwise writes the same text; the root
// object's "id" it finds is the tree's.
void expect_one_pass_agrees(const Sample& sample, const std::optional<Value>& tree) {
  std::string body = sample.bytes, out;
  const bool written = canonicalise(body, out);
  EXPECT_EQ(written, tree.has_value()) << sample.name;
  if (written && tree) {
    EXPECT_EQ(out, serialise(*tree)) << sample.name;
  }
  // The same, a byte at a time.
  Canonicaliser writer;
  writer.start(out, sample.bytes.size());
  for (const char c : sample.bytes) writer.write(std::string_view(&c, 1));
  body = sample.bytes;
  const bool written_in_pieces = writer.finish(body);
  EXPECT_EQ(written_in_pieces, tree.has_value()) << sample.name << " in pieces";
  if (written_in_pieces && tree) {
    EXPECT_EQ(out, serialise(*tree)) << sample.name << " in pieces";
  }
  const Value* id = tree ? tree->find("id") : nullptr;
  EXPECT_EQ(top_level_id(sample.bytes), id ? std::optional(serialise(*id)) : std::nullopt) << sample.name;
}

TEST(JsonConformance, EveryYesSampleParsesAndRoundTrips) {
  const auto samples = load('y');
  EXPECT_GE(samples.size(), 95u);
  for (const Sample& sample : samples) {
    std::optional<Value> value = parse_exact(sample.bytes);
    EXPECT_TRUE(value.has_value()) << sample.name;
    if (value) expect_round_trip(sample, *value);
    expect_one_pass_agrees(sample, value);
  }
}

TEST(JsonConformance, NoNoSampleParses) {
  const auto samples = load('n');
  EXPECT_GE(samples.size(), 188u);
  for (const Sample& sample : samples) {
    EXPECT_FALSE(parse_exact(sample.bytes).has_value()) << sample.name;
    expect_one_pass_agrees(sample, std::nullopt);
  }
}

TEST(JsonConformance, ImplementationDefinedSamplesFollowTheHostRules) {
  const auto samples = load('i');
  EXPECT_EQ(samples.size(), 35u);
  std::set<std::string> parsed;
  for (const Sample& sample : samples) {
    std::optional<Value> value = parse_exact(sample.bytes);
    expect_one_pass_agrees(sample, value);
    if (!value) continue;
    parsed.insert(sample.name);
    expect_round_trip(sample, *value);
  }
  EXPECT_EQ(parsed, kImplementationDefinedThatParse);
}

TEST(JsonConformance, ImplementationDefinedNumbersBecomeDoubles) {
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {"i_number_double_huge_neg_exp.json", "[0.0]"},
      {"i_number_real_underflow.json", "[0.0]"},
      {"i_number_too_big_neg_int.json", "[-1.2312312312312312e29]"},
      {"i_number_too_big_pos_int.json", "[1e20]"},
      {"i_number_very_big_negative_int.json", "[-2.374623746732769e47]"},
  };
  for (const auto& c : cases) {
    std::ifstream in(kCorpus / c.name, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    std::optional<Value> value = parse_exact(bytes);
    ASSERT_TRUE(value.has_value()) << c.name;
    EXPECT_EQ(serialise(*value), c.text) << c.name;
  }
}

}  // namespace
}  // namespace karvo::json

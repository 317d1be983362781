#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/log_writer.h"
#include "json/log_line.h"
#include "records/sealed_record.h"

#include "scratch_directory.h"

namespace vorm_zel {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::uint8_t, kSignatureBytes> kSignature{
    0,   255, 10,  100, 1,   128, 127, 200, 165, 77, 202, 24,  37,  48,  187, 29,
    109, 19,  44,  222, 214, 35,  123, 46,  217, 30, 63,  114, 31,  203, 25,  113,
    23,  68,  148, 214, 73,  60,  157, 92,  52,  96, 190, 49,  32,  30,  105, 254,
    218, 160, 238, 232, 185, 153, 127, 92,  124, 41, 153, 253, 175, 229, 147, 37};

SealedRecord sample_record() {
    SealedRecord record;
    record.id = "zel_0f8e2c4a-1b3d-4e5f-8a9b-0c1d2e3f4a5b";
    record.timestamp = "2026-12-07T04:13:08.123456700+00:00";
    record.monotonic_nanos = std::numeric_limits<std::uint64_t>::max();
    record.hash = "4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7";
    record.signature = kSignature;
    record.merkle_root = "26db14db97886b7012ff0de49c4d72741806645c3d02cfa6e199e09eeb21ee50";
    record.coherence_score = 0.00005;
    record.reputation_scalar = 1e16;
    record.ppp_json = R"({"provenance":"p","place":"q","purpose":"r"})";
    record.ctx_json = R"({"a": 1, "b": [true, null]})";
    record.prompt = "first line\nsecond\tline \"quoted\" \\ caf\xc3\xa9";
    record.reasoning_trace_json = R"("step\n")";
    record.output = "ok/\x7f\x01";
    record.human_delta_chain_json =
        R"({"chain_id":"c","agent_decision_ref":"d","resolved":false,"terminal_node":"t"})";
    return record;
}

const std::string kSampleLine =
    R"({"id":"zel_0f8e2c4a-1b3d-4e5f-8a9b-0c1d2e3f4a5b",)"
    R"("timestamp":"2026-12-07T04:13:08.123456700+00:00",)"
    R"("monotonic_nanos":18446744073709551615,)"
    R"("hash":"4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7",)"
    R"("signature":[0,255,10,100,1,128,127,200,165,77,202,24,37,48,187,29,109,19,44,222,214,)"
    R"(35,123,46,217,30,63,114,31,203,25,113,23,68,148,214,73,60,157,92,52,96,190,49,32,30,105,)"
    R"(254,218,160,238,232,185,153,127,92,124,41,153,253,175,229,147,37],)"
    R"("merkle_root":"26db14db97886b7012ff0de49c4d72741806645c3d02cfa6e199e09eeb21ee50",)"
    R"("coherence_score":0.00005,"reputation_scalar":1e+16,)"
    R"("ppp_json":"{\"provenance\":\"p\",\"place\":\"q\",\"purpose\":\"r\"}",)"
    R"("ctx_json":"{\"a\": 1, \"b\": [true, null]}",)"
    R"("prompt":"first line\nsecond\tline \"quoted\" \\ caf)"
    "\xc3\xa9"
    R"(",)"
    R"("reasoning_trace_json":"\"step\\n\"",)"
    R"("output":"ok/)"
    "\x7f"
    R"(\u0001",)"
    R"("human_delta_chain_json":"{\"chain_id\":\"c\",\"agent_decision_ref\":\"d\",)"
    R"(\"resolved\":false,\"terminal_node\":\"t\"}",)"
    R"("core_insight_json":null})"
    "\n";

// ------------------------------------------------------------ line text

TEST(LogLine, SampleRecordExactText) {
    EXPECT_EQ(log_line(sample_record()), kSampleLine);
}

TEST(LogLine, DefaultRecordExactText) {
    std::string zeros = "0";
    for (int i = 1; i < 64; ++i) {
        zeros += ",0";
    }
    EXPECT_EQ(log_line(SealedRecord{}),
              R"({"id":"","timestamp":"","monotonic_nanos":0,"hash":"","signature":[)" + zeros +
                  R"(],"merkle_root":"","coherence_score":0.0,"reputation_scalar":0.0,)"
                  R"("ppp_json":"","ctx_json":"","prompt":"","reasoning_trace_json":"",)"
                  R"("output":"","human_delta_chain_json":"","core_insight_json":null})"
                  "\n");
}

// One buffer, lines of very different lengths in turn: each is exactly its
// own text, whatever the longer lines before it left in the storage.
TEST(LogLine, BufferRefilledLineAfterLineHoldsOnlyTheLatest) {
    LineBuffer buffer;
    for (const std::size_t size : {50000u, 3u, 20000u, 0u, 70000u, 10u}) {
        SealedRecord record = sample_record();
        record.prompt = std::string(size, size % 2 == 0 ? '\t' : 'p');
        record.output = std::string(size / 3, '"');
        write_log_line(buffer, record);
        ASSERT_EQ(buffer.view(), log_line(record)) << size;
    }
    EXPECT_GE(buffer.capacity(), 70000u * 2);  // the storage stays, line after line
}

TEST(LogLine, OneLineFeedAtTheEnd) {
    SealedRecord record = sample_record();
    record.output = "two\nlines\n";
    record.ctx_json = "\"a\\nb\"\n";
    record.core_insight_json = "{\n}";
    const std::string line = log_line(record);
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line[line.size() - 2], '}');
    EXPECT_EQ(line.find('\r'), std::string::npos);
}

TEST(LogLine, MembersInRecordOrderAndRoundTrip) {
    SealedRecord record = sample_record();
    record.core_insight_json = R"({"coherence":0.95})";
    const std::string line = log_line(record);
    ASSERT_FALSE(line.empty());
    const auto parsed = nlohmann::ordered_json::parse(line.substr(0, line.size() - 1));
    ASSERT_TRUE(parsed.is_object());

    const std::vector<std::string> keys{"id",
                                        "timestamp",
                                        "monotonic_nanos",
                                        "hash",
                                        "signature",
                                        "merkle_root",
                                        "coherence_score",
                                        "reputation_scalar",
                                        "ppp_json",
                                        "ctx_json",
                                        "prompt",
                                        "reasoning_trace_json",
                                        "output",
                                        "human_delta_chain_json",
                                        "core_insight_json"};
    std::vector<std::string> actual;
    for (const auto& item : parsed.items()) {
        actual.push_back(item.key());
    }
    EXPECT_EQ(actual, keys);

    EXPECT_EQ(parsed.at("id"), record.id);
    EXPECT_EQ(parsed.at("timestamp"), record.timestamp);
    EXPECT_EQ(parsed.at("monotonic_nanos").get<std::uint64_t>(), record.monotonic_nanos);
    EXPECT_EQ(parsed.at("hash"), record.hash);
    const auto& signature = parsed.at("signature");
    ASSERT_TRUE(signature.is_array());
    ASSERT_EQ(signature.size(), kSignatureBytes);
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
        EXPECT_EQ(signature[i].get<int>(), record.signature[i]) << i;
    }
    EXPECT_EQ(parsed.at("merkle_root"), record.merkle_root);
    EXPECT_EQ(parsed.at("coherence_score").get<double>(), record.coherence_score);
    EXPECT_EQ(parsed.at("reputation_scalar").get<double>(), record.reputation_scalar);
    // The _json members are strings holding their text, not nested objects.
    for (const auto& [key, text] : std::vector<std::pair<std::string, std::string>>{
             {"ppp_json", record.ppp_json},
             {"ctx_json", record.ctx_json},
             {"prompt", record.prompt},
             {"reasoning_trace_json", record.reasoning_trace_json},
             {"output", record.output},
             {"human_delta_chain_json", record.human_delta_chain_json},
             {"core_insight_json", *record.core_insight_json}}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(parsed.at(key).is_string());
        EXPECT_EQ(parsed.at(key).get<std::string>(), text);
    }
}

TEST(LogLine, QuotesOfNestedJsonAreEscaped) {
    const std::string line = log_line(sample_record());
    const std::string member = R"("ppp_json":")";
    const auto start = line.find(member);
    ASSERT_NE(start, std::string::npos);
    const auto end = line.find(R"(","ctx_json")", start);
    ASSERT_NE(end, std::string::npos);
    const std::string value = line.substr(start + member.size(), end - start - member.size());
    EXPECT_EQ(value, R"({\"provenance\":\"p\",\"place\":\"q\",\"purpose\":\"r\"})");
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(value[i - 1], '\\') << "unescaped quote at " << i;
        }
    }
}

struct CoreInsightCase {
    const char* name;
    std::optional<std::string> insight;
    std::string tail;
};

void PrintTo(const CoreInsightCase& c, std::ostream* os) {
    *os << c.name;
}

class LogLineCoreInsight : public ::testing::TestWithParam<CoreInsightCase> {};

TEST_P(LogLineCoreInsight, LastMember) {
    SealedRecord record = sample_record();
    record.core_insight_json = GetParam().insight;
    const std::string line = log_line(record);
    const std::string expected = R"(,"core_insight_json":)" + GetParam().tail + "}\n";
    ASSERT_GE(line.size(), expected.size());
    EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    LogLine, LogLineCoreInsight,
    ::testing::Values(CoreInsightCase{"absent", std::nullopt, "null"},
                      CoreInsightCase{"empty_text", std::string(), R"("")"},
                      CoreInsightCase{"null_text", std::string("null"), R"("null")"},
                      CoreInsightCase{"object", std::string(R"({"k":[1,2],"s":"a\"b"})"),
                                      R"("{\"k\":[1,2],\"s\":\"a\\\"b\"}")"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

struct NumberCase {
    const char* name;
    std::uint64_t monotonic_nanos;
    double coherence;
    double reputation;
    std::string members;  // from "monotonic_nanos" to "reputation_scalar"
};

void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << c.name;
}

class LogLineNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(LogLineNumbers, WrittenByTheFloatRule) {
    SealedRecord record = sample_record();
    record.monotonic_nanos = GetParam().monotonic_nanos;
    record.coherence_score = GetParam().coherence;
    record.reputation_scalar = GetParam().reputation;
    const std::string line = log_line(record);
    const auto monotonic = line.find(R"("monotonic_nanos":)");
    ASSERT_NE(monotonic, std::string::npos);
    EXPECT_EQ(line.substr(monotonic, line.find(R"(,"hash")") - monotonic),
              R"("monotonic_nanos":)" + std::to_string(GetParam().monotonic_nanos));
    const auto scores = line.find(R"("coherence_score":)");
    ASSERT_NE(scores, std::string::npos);
    EXPECT_EQ(line.substr(scores, line.find(R"(,"ppp_json")") - scores), GetParam().members);
}

INSTANTIATE_TEST_SUITE_P(
    LogLine, LogLineNumbers,
    ::testing::Values(
        NumberCase{"zero", 0, 0.0, 0.0, R"("coherence_score":0.0,"reputation_scalar":0.0)"},
        NumberCase{"integral", 1, 1.0, 100.0, R"("coherence_score":1.0,"reputation_scalar":100.0)"},
        NumberCase{"fractions", 42, 0.92, 0.51,
                   R"("coherence_score":0.92,"reputation_scalar":0.51)"},
        NumberCase{"small_fixed", 1'000'000'000, 0.00005, 0.00012,
                   R"("coherence_score":0.00005,"reputation_scalar":0.00012)"},
        NumberCase{"small_fixed_limit", 7, 0.00001, 0.000012345,
                   R"("coherence_score":0.00001,"reputation_scalar":0.000012345)"},
        NumberCase{"small_scientific", 9, 0.00000015, 1e-300,
                   R"("coherence_score":1.5e-7,"reputation_scalar":1e-300)"},
        NumberCase{"large", 10, 1e16, 2.5e300,
                   R"("coherence_score":1e+16,"reputation_scalar":2.5e+300)"},
        NumberCase{"large_fixed", 11, 9007199254740992.0, 0.9999999999999999,
                   R"("coherence_score":9007199254740992.0,)"
                   R"("reputation_scalar":0.9999999999999999)"},
        NumberCase{"not_finite", 12, std::nan(""), std::numeric_limits<double>::infinity(),
                   R"("coherence_score":null,"reputation_scalar":null)"},
        NumberCase{"negative", 13, -0.0, -0.5,
                   R"("coherence_score":-0.0,"reputation_scalar":-0.5)"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// ------------------------------------------------------------ log file

using testing::read_file;
using testing::write_file;
using TempDir = testing::ScratchDirectory;

TEST(LogLineWriter, CreatesMissingFile) {
    const TempDir dir;
    const std::string path = dir.file("wal.jsonl");
    EXPECT_EQ(append_log_line(path, "{\"a\":1}\n"), 0);
    EXPECT_EQ(read_file(path), "{\"a\":1}\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"wal.jsonl"});
}

TEST(LogLineWriter, AppendsAfterExistingContent) {
    const TempDir dir;
    const std::string path = dir.file("wal.jsonl");
    write_file(path, "existing line\npartial");
    const std::string first = log_line(sample_record());
    SealedRecord other = sample_record();
    other.prompt = "second";
    const std::string second = log_line(other);
    EXPECT_EQ(append_log_line(path, first), 0);
    EXPECT_EQ(append_log_line(path, second), 0);
    EXPECT_EQ(read_file(path), "existing line\npartial" + first + second);
}

TEST(LogLineWriter, ManyLinesStayWhole) {
    const TempDir dir;
    const std::string path = dir.file("wal.jsonl");
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        SealedRecord record = sample_record();
        record.prompt = std::string(static_cast<std::size_t>(i) * 37, 'x');
        record.monotonic_nanos = static_cast<std::uint64_t>(i);
        const std::string line = log_line(record);
        ASSERT_EQ(append_log_line(path, line), 0) << i;
        expected += line;
    }
    EXPECT_EQ(read_file(path), expected);
}

TEST(LogLineWriter, MissingDirectoryReportsEnoentAndCreatesNothing) {
    const TempDir dir;
    const std::string path = dir.file("missing/wal.jsonl");
    EXPECT_EQ(append_log_line(path, "{}\n"), ENOENT);
    EXPECT_TRUE(dir.entries().empty());
    touch_log(path);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(LogLineWriter, EmbeddedNulIsAnOpenFailure) {
    const TempDir dir;
    const std::string path = dir.file("wal") + std::string(1, '\0') + "tail";
    EXPECT_NE(append_log_line(path, "{}\n"), 0);
    EXPECT_TRUE(dir.entries().empty());
    touch_log(path);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(LogLineWriter, DirectoryPathIsAnOpenFailure) {
    const TempDir dir;
    EXPECT_NE(append_log_line(dir.path().string(), "{}\n"), 0);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(LogLineWriter, TouchCreatesEmptyFile) {
    const TempDir dir;
    const std::string path = dir.file("wal.jsonl");
    touch_log(path);
    ASSERT_EQ(dir.entries(), std::vector<std::string>{"wal.jsonl"});
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(LogLineWriter, TouchNeverTruncates) {
    const TempDir dir;
    const std::string path = dir.file("wal.jsonl");
    write_file(path, kSampleLine);
    touch_log(path);
    touch_log(path);
    EXPECT_EQ(read_file(path), kSampleLine);
    EXPECT_EQ(append_log_line(path, "{}\n"), 0);
    touch_log(path);
    EXPECT_EQ(read_file(path), kSampleLine + "{}\n");
}

}  // namespace
}  // namespace vorm_zel

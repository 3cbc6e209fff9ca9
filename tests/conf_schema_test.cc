// Schemas: refused descriptions with their lines, every kind of finding with
// its origin and suggestion, each type at its edges, patterns and "*" keys,
// layered files, typed reads with defaults, and the reference
// configuration, which loads and validates clean.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "conf.h"
#include "conf_schema.h"
#include "temp_files.h"

namespace {

constexpr char kService[] = R"(# The web front end.
[server]
# The TCP port that clients connect to.
port = int 1..65535 = 8080
# How long an idle client may stay connected.
idle_timeout = duration 1s..1h = 30s
mode = enum fast safe = safe
name = string required
cache_size = size ..4G = 64M
debug = bool = off
old_port = deprecated port

# One section per backend, named as the operator likes.
[backend *]
url = string required
weight = int 0..100 = 1

[client]
retries = int 0.. = 3

# Free keys: every key is allowed, each a string.
[env]
* = string
)";

struct SchemaPtr {
    CONF_SCHEMA_ERROR error{};  // filled by the load below: declared first
    CONF_SCHEMA *p = nullptr;
    explicit SchemaPtr(const std::string &text)
        : p(CONF_schema_load_buffer(text.data(), text.size(), &error)) {}
    ~SchemaPtr() { CONF_schema_free(p); }
};

struct Ctx {
    CONF_CTX *p = CONF_new();
    ~Ctx() { CONF_free(p); }
};

struct FindingsPtr {
    CONF_FINDINGS *p;
    ~FindingsPtr() { CONF_findings_free(p); }
    int count() const { return CONF_findings_count(p); }
    const CONF_FINDING &operator[](int i) const { return *CONF_findings_get(p, i); }
};

// "KIND SEVERITY [section] name LINE: message {suggestion}" of each finding.
std::vector<std::string> Describe(const FindingsPtr &f) {
    std::vector<std::string> out;
    for (int i = 0; i < f.count(); ++i) {
        const CONF_FINDING &x = f[i];
        out.push_back(std::to_string(x.kind) +
                      (x.severity == CONF_SEVERITY_ERROR ? " E [" : " W [") + x.section + "] " +
                      x.name + " " + std::to_string(x.line) + ": " + x.message + " {" +
                      x.suggestion + "}");
    }
    return out;
}

// The findings of text (loaded from memory) against schema.
std::vector<std::string> Check(const CONF_SCHEMA *schema, const std::string &text) {
    Ctx ctx;
    EXPECT_EQ(CONF_load_buffer(ctx.p, text.data(), text.size()), 0) << text;
    FindingsPtr f{CONF_schema_validate(schema, ctx.p)};
    EXPECT_NE(f.p, nullptr);
    return Describe(f);
}

TEST(SchemaLoad, RefusesWhatDoesNotDescribeWithItsLine) {
    struct Case {
        const char *text;
        int number;
        int line;
        const char *says;
    } cases[] = {
        {"[s]\na = int\nb = integer\n", CONF_SCHEMA_INVALID, 3, "[s] b: unknown type 'integer'"},
        {"a =\n", CONF_SCHEMA_INVALID, 1, "[default] a: no type"},
        {"a = int 5..1\n", CONF_SCHEMA_INVALID, 1, "the range 5..1 is empty"},
        {"a = int 1-5\n", CONF_SCHEMA_INVALID, 1, "is not a range"},
        {"a = int 1..x\n", CONF_SCHEMA_INVALID, 1, "'x' in the range is not an int"},
        {"a = size 1..2..3\n", CONF_SCHEMA_INVALID, 1, "in the range is not a size"},
        {"a = int 1..10 = 11\n", CONF_SCHEMA_INVALID, 1, "the default 11 is out of range 1..10"},
        {"a = int = 8O\n", CONF_SCHEMA_INVALID, 1, "the default '8O' is not an int"},
        {"a = bool = maybe\n", CONF_SCHEMA_INVALID, 1, "is not a bool"},
        {"a = enum x y = z\n", CONF_SCHEMA_INVALID, 1, "is not one of the choices"},
        {"a = enum\n", CONF_SCHEMA_INVALID, 1, "enum without choices"},
        {"a = enum x x\n", CONF_SCHEMA_INVALID, 1, "the choice 'x' is given twice"},
        {"a = string required = x\n", CONF_SCHEMA_INVALID, 1, "a required key has no default"},
        {"a = string long\n", CONF_SCHEMA_INVALID, 1, "string takes no constraint"},
        {"a = int 1..2 3\n", CONF_SCHEMA_INVALID, 1, "'3' after the range"},
        {"a = deprecated\n", CONF_SCHEMA_INVALID, 1, "deprecated needs the one key"},
        {"a = deprecated b required\n", CONF_SCHEMA_INVALID, 1, "cannot be required"},
        {"a = deprecated b = 1\n", CONF_SCHEMA_INVALID, 1, "no default"},
        {"[s]\nb = int\n\n[t]\na = deprecated b\n", CONF_SCHEMA_INVALID, 5,
         "[t] a: 'b' replaces it, but [t] has no such key"},
        {"a = deprecated *\n* = int\n", CONF_SCHEMA_INVALID, 1, "no such key"},
        {"a = deprecated b\nb = deprecated a\n", CONF_SCHEMA_INVALID, 1, "no such key"},
        {"[s]\nx\n", -105, 2, "missing equal sign, line 2"},
        {"[s\n", -104, 1, "missing close square bracket, line 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        SchemaPtr s(c.text);
        EXPECT_EQ(s.p, nullptr);
        EXPECT_EQ(s.error.number, c.number);
        EXPECT_EQ(s.error.line, c.line);
        EXPECT_NE(std::strstr(s.error.text, c.says), nullptr) << s.error.text;
        EXPECT_NE(std::strstr(s.error.text, (", line " + std::to_string(c.line)).c_str()), nullptr);
    }
}

TEST(SchemaLoad, AcceptsEveryTypeAndReportsSuccess) {
    SchemaPtr s(kService);
    ASSERT_NE(s.p, nullptr) << s.error.text;
    EXPECT_EQ(s.error.number, 0);
    SchemaPtr empty("");
    EXPECT_NE(empty.p, nullptr);
    CONF_SCHEMA_ERROR e{};
    CONF_SCHEMA *none = CONF_schema_load_buffer(nullptr, 0, &e);  // an empty schema
    EXPECT_NE(none, nullptr);
    EXPECT_EQ(e.number, 0);
    CONF_schema_free(none);
    EXPECT_EQ(CONF_schema_load_buffer(nullptr, 1, &e), nullptr);
    EXPECT_EQ(e.number, -101);
    EXPECT_EQ(CONF_schema_load("/nonexistent/schema", &e), nullptr);
    EXPECT_EQ(e.number, -101);
    EXPECT_EQ(CONF_schema_load(nullptr, &e), nullptr);
    EXPECT_EQ(e.number, -101);
    TempFiles files;
    EXPECT_EQ(CONF_schema_load(files.dir().c_str(), &e), nullptr);
    EXPECT_EQ(e.number, -108);
    CONF_SCHEMA *from_file = CONF_schema_load(files.Write(kService).c_str(), &e);
    EXPECT_NE(from_file, nullptr);
    EXPECT_EQ(e.number, 0);
    CONF_schema_free(from_file);
    EXPECT_EQ(CONF_schema_load_buffer("a = nope", 8, nullptr), nullptr);  // no error record
}

TEST(SchemaFindings, EachKindWithItsMessageLineAndSuggestion) {
    SchemaPtr s(kService);
    ASSERT_NE(s.p, nullptr);
    const std::vector<std::string> expected = {
        "1 W [sever]  2: unknown section [sever]; did you mean [server]? {server}",
        "2 W [server] prot 4: unknown key 'prot' in [server]; did you mean 'port'? {port}",
        "3 E [server] port 5: '80O' is not an int (server port) {}",
        "5 E [server] mode 6: 'fsat' is not one of fast, safe; did you mean 'fast'? {fast}",
        "7 W [server] old_port 7: 'old_port' is deprecated; use 'port' {port}",
        "4 E [server] cache_size 8: 5G is out of range ..4G (server cache_size) {}",
        "2 W [client] port 10: 'port' is not a key of [client]; [server] has it {server}",
        "2 W [client] zzzzzz 11: unknown key 'zzzzzz' in [client] {}",
        "4 E [backend a b] weight 13: 101 is out of range 0..100 (backend a b weight) {}",
        "6 E [server] name 0: [server] name is required {}",
        "6 E [backend a b] url 0: [backend a b] url is required {}",
    };
    EXPECT_EQ(Check(s.p,
                    "[sever]\nx = 1\n[server]\nprot = 8080\nport = 80O\nmode = fsat\nold_port = 3\n"
                    "cache_size = 5G\n[client]\nport = 3\nzzzzzz = 1\n[backend a b]\nweight = 101\n"
                    "[env]\nanything = goes\n"),
              expected);
}

TEST(SchemaFindings, CleanFileHasNoneAndDefaultSectionKeysAreUnknown) {
    SchemaPtr s(kService);
    EXPECT_TRUE(
        Check(s.p, "[server]\nname = web\nport = 1\n[backend x]\nurl = http://x\n").empty());
    EXPECT_EQ(
        Check(s.p, "port = 1\n[server]\nname = n\n"),
        std::vector<std::string>{
            "2 W [default] port 1: 'port' is not a key of [default]; [server] has it {server}"});
    // An empty unknown section has no line; it comes last.
    EXPECT_EQ(Check(s.p, "[nothing]\n[server]\nprt = 1\nname = n\n"),
              (std::vector<std::string>{
                  "2 W [server] prt 3: unknown key 'prt' in [server]; did you mean 'port'? {port}",
                  "1 W [nothing]  0: unknown section [nothing] {}"}));
}

TEST(SchemaFindings, FileOrderAcrossSectionsAndSectionsNeverWritten) {
    SchemaPtr s(kService);
    // [server] comes first in the context, but its bad value is read last.
    EXPECT_EQ(Check(s.p, "[server]\nname = x\n[client]\nretries = x\n[server]\nport = 0\n"),
              (std::vector<std::string>{
                  "3 E [client] retries 4: 'x' is not an int (client retries) {}",
                  "4 E [server] port 6: 0 is out of range 1..65535 (server port) {}"}));
    // A described section that the file never opens still has its
    // required keys.
    EXPECT_EQ(Check(s.p, "[env]\nA = 1\n"),
              std::vector<std::string>{"6 E [server] name 0: [server] name is required {}"});
    // Short names are not matched with anything: 'x' is one edit from 'a'.
    SchemaPtr short_names("[s]\na = int\nab = int\n");
    EXPECT_EQ(Check(short_names.p, "[s]\nx = 1\nac = 2\n"),
              (std::vector<std::string>{
                  "2 W [s] x 2: unknown key 'x' in [s] {}",
                  "2 W [s] ac 3: unknown key 'ac' in [s]; did you mean 'ab'? {ab}"}));
}

TEST(SchemaFindings, PatternsStarKeysAndExactSectionsFirst) {
    SchemaPtr s(
        "[job *]\nevery = duration\n[job main]\nevery = int\n[free]\n* = int 0..9\nfix = string\n");
    ASSERT_NE(s.p, nullptr) << s.error.text;
    EXPECT_EQ(
        Check(s.p,
              "[job a]\nevery = 5\n[job main]\nevery = 5s\n[free]\nx = 10\nfix = abc\n"
              "[jobs]\nevery = 1s\n"),
        (std::vector<std::string>{"3 E [job a] every 2: '5' is not a duration (job a every) {}",
                                  "3 E [job main] every 4: '5s' is not an int (job main every) {}",
                                  "4 E [free] x 6: 10 is out of range 0..9 (free x) {}",
                                  "1 W [jobs]  9: unknown section [jobs] {}"}));
    // The longest prefix before a blank wins; "job" itself is not "job *".
    EXPECT_EQ(Check(s.p, "[job]\nevery = 1\n").size(), 1U);
    EXPECT_TRUE(Check(s.p, "[job a b c]\nevery = 1h30min\n").empty());
}

TEST(SchemaFindings, OrderedByFileThenLineAcrossLayers) {
    TempFiles main_dir;
    const std::string dir = main_dir.dir() + "/layer";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/app.conf.d").c_str(), 0700), 0);
    const std::string main_file = dir + "/app.conf";
    const std::string dropin = dir + "/app.conf.d/50-local.conf";
    auto write = [](const std::string &path, const char *text) {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    write(main_file, "[server]\nport = 80\nmode = fast\n[client]\nretries = x\n");
    write(dropin, "[server]\nport = 70000\n");
    SchemaPtr s(kService);
    Ctx ctx;
    const char *dirs[] = {dir.c_str()};
    ASSERT_EQ(CONF_load_layered(ctx.p, dirs, 1, "app.conf"), 0);
    FindingsPtr f{CONF_schema_validate(s.p, ctx.p)};
    ASSERT_EQ(f.count(), 3);
    EXPECT_EQ(f[0].kind, CONF_FINDING_WRONG_TYPE);
    EXPECT_STREQ(f[0].file, main_file.c_str());
    EXPECT_EQ(f[0].line, 5);
    EXPECT_EQ(f[1].kind, CONF_FINDING_OUT_OF_RANGE);
    EXPECT_STREQ(f[1].file, dropin.c_str());  // the drop-in set the value
    EXPECT_EQ(f[1].line, 2);
    EXPECT_STREQ(f[1].value, "70000");
    EXPECT_EQ(f[2].kind, CONF_FINDING_MISSING);
    EXPECT_STREQ(f[2].file, dropin.c_str());  // the file loaded last
    EXPECT_EQ(f[2].line, 0);
    EXPECT_EQ(CONF_findings_count_severity(f.p, CONF_SEVERITY_ERROR), 3);
    EXPECT_EQ(CONF_findings_count_severity(f.p, CONF_SEVERITY_WARNING), 0);
    EXPECT_EQ(CONF_findings_get(f.p, 3), nullptr);
    EXPECT_EQ(CONF_findings_get(f.p, -1), nullptr);
    std::remove(dropin.c_str());
    std::remove(main_file.c_str());
    rmdir((dir + "/app.conf.d").c_str());
    rmdir(dir.c_str());
}

// One value of one type: its finding kind (0 for none) and, when valid,
// what the typed read gives.
struct TypeCase {
    const char *type;
    const char *value;
    int kind;
    const char *read;  // the value read, as text; null when none is
};

class SchemaTypes : public ::testing::TestWithParam<TypeCase> {};

std::string ReadAsText(const CONF_SCHEMA *s, CONF_CTX *ctx, const std::string &type) {
    char buf[64] = "";
    int rc = 0;
    if (type.rfind("int", 0) == 0) {
        int64_t v = 0;
        rc = CONF_schema_get_int64(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    } else if (type.rfind("size", 0) == 0) {
        uint64_t v = 0;
        rc = CONF_schema_get_size(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    } else if (type.rfind("duration", 0) == 0) {
        int64_t v = 0;
        rc = CONF_schema_get_duration(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%lldms", static_cast<long long>(v));
    } else if (type.rfind("double", 0) == 0) {
        double v = 0;
        rc = CONF_schema_get_double(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%g", v);
    } else if (type.rfind("bool", 0) == 0) {
        int v = 0;
        rc = CONF_schema_get_bool(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%d", v);
    } else {
        int v = 0;
        rc = CONF_schema_get_enum(s, ctx, "t", "v", &v);
        std::snprintf(buf, sizeof buf, "%d", v);
    }
    return rc == 1 ? buf : "rc " + std::to_string(rc);
}

TEST_P(SchemaTypes, ValueAtTheEdge) {
    const TypeCase &c = GetParam();
    SchemaPtr s(std::string("[t]\nv = ") + c.type + "\n");
    ASSERT_NE(s.p, nullptr) << s.error.text;
    Ctx ctx;
    const std::string text = std::string("[t]\nv = '") + c.value + "'\n";
    ASSERT_EQ(CONF_load_buffer(ctx.p, text.data(), text.size()), 0);
    FindingsPtr f{CONF_schema_validate(s.p, ctx.p)};
    ASSERT_EQ(f.count(), c.kind == 0 ? 0 : 1);
    if (c.kind != 0) {
        EXPECT_EQ(f[0].kind, c.kind) << f[0].message;
        EXPECT_EQ(ReadAsText(s.p, ctx.p, c.type), "rc -1");
    } else {
        EXPECT_EQ(ReadAsText(s.p, ctx.p, c.type), c.read);
    }
}

constexpr int kWrong = CONF_FINDING_WRONG_TYPE;
constexpr int kRange = CONF_FINDING_OUT_OF_RANGE;
constexpr int kChoice = CONF_FINDING_NOT_A_CHOICE;

INSTANTIATE_TEST_SUITE_P(
    Ints, SchemaTypes,
    ::testing::Values(TypeCase{"int", "9223372036854775807", 0, "9223372036854775807"},
                      TypeCase{"int", "-9223372036854775808", 0, "-9223372036854775808"},
                      TypeCase{"int", "9223372036854775808", kRange, nullptr},
                      TypeCase{"int", "-9223372036854775809", kRange, nullptr},
                      TypeCase{"int", "+7", 0, "7"}, TypeCase{"int", "0x10", kWrong, nullptr},
                      TypeCase{"int", "1.0", kWrong, nullptr},
                      TypeCase{"int", " 5", kWrong, nullptr}, TypeCase{"int", "", kWrong, nullptr},
                      TypeCase{"int -5..5", "-5", 0, "-5"},
                      TypeCase{"int -5..5", "6", kRange, nullptr},
                      TypeCase{"int ..0", "-9223372036854775808", 0, "-9223372036854775808"},
                      TypeCase{"int 1..", "0", kRange, nullptr}));

INSTANTIATE_TEST_SUITE_P(
    Sizes, SchemaTypes,
    ::testing::Values(
        TypeCase{"size", "18446744073709551615", 0, "18446744073709551615"},
        TypeCase{"size", "18446744073709551616", kRange, nullptr},
        TypeCase{"size", "16777215T", 0, "18446742974197923840"},
        TypeCase{"size", "16777216T", kRange, nullptr}, TypeCase{"size", "1.5G", 0, "1610612736"},
        TypeCase{"size", "1.3K", kWrong, nullptr}, TypeCase{"size", "64M", 0, "67108864"},
        TypeCase{"size", "0x10", kWrong, nullptr}, TypeCase{"size", "64 M", kWrong, nullptr},
        TypeCase{"size", "64m", kWrong, nullptr}, TypeCase{"size", "-1", kWrong, nullptr},
        TypeCase{"size", "1.", kWrong, nullptr}, TypeCase{"size", "K", kWrong, nullptr},
        TypeCase{"size ..4G", "4G", 0, "4294967296"},
        TypeCase{"size ..4G", "4294967297", kRange, nullptr},
        TypeCase{"size 1K..", "1023", kRange, nullptr}));

INSTANTIATE_TEST_SUITE_P(
    Durations, SchemaTypes,
    ::testing::Values(
        TypeCase{"duration", "9223372036854775807ms", 0, "9223372036854775807ms"},
        TypeCase{"duration", "9223372036854775808ms", kRange, nullptr},
        TypeCase{"duration", "106751991167d", 0, "9223372036828800000ms"},
        TypeCase{"duration", "106751991168d", kRange, nullptr},
        TypeCase{"duration", "1h30min", 0, "5400000ms"}, TypeCase{"duration", "1.5s", 0, "1500ms"},
        TypeCase{"duration", "0", 0, "0ms"}, TypeCase{"duration", "0.5ms", kWrong, nullptr},
        TypeCase{"duration", "30", kWrong, nullptr}, TypeCase{"duration", "30 s", kWrong, nullptr},
        TypeCase{"duration", "5sec", kWrong, nullptr}, TypeCase{"duration", "", kWrong, nullptr},
        TypeCase{"duration 1s..1h", "999ms", kRange, nullptr},
        TypeCase{"duration 1s..1h", "60min", 0, "3600000ms"}));

INSTANTIATE_TEST_SUITE_P(Others, SchemaTypes,
                         ::testing::Values(TypeCase{"double -1.5..1e3", "1000", 0, "1000"},
                                           TypeCase{"double -1.5..1e3", "1000.5", kRange, nullptr},
                                           TypeCase{"double", "1e400", kRange, nullptr},
                                           TypeCase{"double", "nan", kWrong, nullptr},
                                           TypeCase{"bool", "YES", 0, "1"},
                                           TypeCase{"bool", "off", 0, "0"},
                                           TypeCase{"bool", "2", kWrong, nullptr},
                                           TypeCase{"enum a b c", "c", 0, "2"},
                                           TypeCase{"enum a b c", "C", kChoice, nullptr},
                                           TypeCase{"enum alpha beta", "gamma", kChoice, nullptr}));

TEST(SchemaTypedReads, DefaultsMissingValuesAndProgrammingErrors) {
    SchemaPtr s(kService);
    Ctx ctx;
    const std::string text =
        "[server]\nport = 9090\nmode = bad\n[backend x]\nweight = 7\n[env]\nA = b\n";
    ASSERT_EQ(CONF_load_buffer(ctx.p, text.data(), text.size()), 0);
    int64_t i = -1;
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "server", "port", &i), 1);
    EXPECT_EQ(i, 9090);
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "backend x", "weight", &i), 1);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "backend y", "weight", &i), 0);
    EXPECT_EQ(i, 1);
    int64_t ms = 0;
    EXPECT_EQ(CONF_schema_get_duration(s.p, ctx.p, "server", "idle_timeout", &ms), 0);
    EXPECT_EQ(ms, 30000);
    uint64_t bytes = 0;
    EXPECT_EQ(CONF_schema_get_size(s.p, ctx.p, "server", "cache_size", &bytes), 0);
    EXPECT_EQ(bytes, 64U << 20);
    int b = -1;
    EXPECT_EQ(CONF_schema_get_bool(s.p, ctx.p, "server", "debug", &b), 0);
    EXPECT_EQ(b, 0);
    int choice = 9;
    EXPECT_EQ(CONF_schema_get_enum(s.p, ctx.p, "server", "mode", &choice), -1);  // "bad"
    EXPECT_EQ(choice, 9);
    const char *str = "untouched";
    EXPECT_EQ(CONF_schema_get_string(s.p, ctx.p, "server", "name", &str), -1);  // required
    EXPECT_STREQ(str, "untouched");
    EXPECT_EQ(CONF_schema_get_string(s.p, ctx.p, "env", "A", &str), 1);  // by "*"
    EXPECT_STREQ(str, "b");
    // Programming errors: undescribed, another type, deprecated, nulls.
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "server", "nope", &i), -2);
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "nowhere", "port", &i), -2);
    EXPECT_EQ(CONF_schema_get_bool(s.p, ctx.p, "server", "port", &b), -2);
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "server", "old_port", &i), -2);
    EXPECT_EQ(CONF_schema_get_int64(nullptr, ctx.p, "server", "port", &i), -2);
    EXPECT_EQ(CONF_schema_get_int64(s.p, nullptr, "server", "port", &i), -2);
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "server", nullptr, &i), -2);
    EXPECT_EQ(i, 1);  // untouched since the default of backend y
    EXPECT_EQ(CONF_schema_get_int64(s.p, ctx.p, "server", "port", nullptr), 1);
    // A context that never loaded: every default stands in.
    Ctx empty;
    EXPECT_EQ(CONF_schema_get_int64(s.p, empty.p, "server", "port", &i), 0);
    EXPECT_EQ(i, 8080);
    FindingsPtr f{CONF_schema_validate(s.p, empty.p)};
    EXPECT_EQ(Describe(f),
              std::vector<std::string>{"6 E [server] name 0: [server] name is required {}"});
    EXPECT_EQ(CONF_schema_validate(nullptr, empty.p), nullptr);
    EXPECT_EQ(CONF_schema_validate(s.p, nullptr), nullptr);
}

TEST(SchemaDocs, CommentsAboveKeysAndHeadersReachTheSample) {
    SchemaPtr s(kService);
    char *buf = nullptr;
    size_t size = 0;
    std::FILE *mem = open_memstream(&buf, &size);
    ASSERT_EQ(CONF_schema_write_sample(s.p, mem), 0);
    std::fclose(mem);
    const std::string sample(buf, size);
    std::free(buf);
    for (const char *line :
         {"# The web front end.\n[server]\n", "# The TCP port that clients connect to.\n",
          "# int 1..65535; default 8080\n# port = 8080\n", "# enum fast, safe; default safe\n",
          "name =\n", "[backend example]\n", "url =\n", "# old_port: deprecated; use 'port'\n",
          "# any other key: string\n",
          "# Free keys: every key is allowed, each a string.\n[env]\n"})
        EXPECT_NE(sample.find(line), std::string::npos) << line << "\n" << sample;
    SchemaPtr cut("# far away\n\n# near\nk = int\n");
    char *cut_buf = nullptr;
    size_t cut_size = 0;
    mem = open_memstream(&cut_buf, &cut_size);
    ASSERT_EQ(CONF_schema_write_sample(cut.p, mem), 0);
    std::fclose(mem);
    EXPECT_EQ(std::string(cut_buf, cut_size), "\n# near\n# int\n# k =\n");
    std::free(cut_buf);
    // A blank line cuts the documentation: retries has none.
    EXPECT_NE(sample.find("[client]\n\n# int 0..; default 3\n"), std::string::npos) << sample;
    EXPECT_TRUE(Check(s.p, sample).empty()) << sample;
    EXPECT_EQ(CONF_schema_write_sample(nullptr, stdout), -100);
    EXPECT_EQ(CONF_schema_write_sample(s.p, nullptr), -113);
}

TEST(SchemaDocs, SampleOfRequiredRangesAndOddTextValidates) {
    const char *schemas[] = {
        "[a]\nn = int 5..9 required\nm = int ..-3 required\nd = duration 2s.. required\n"
        "z = size 1K..2K required\nf = double 0.25..0.5 required\ne = enum x z required\n"
        "b = bool required\n",
        "# ends in a backslash \\ \n[a *]\nk = enum q 'p\\\\' required\n[a example]\nj = int\n",
        "x = string = \"  two  blanks \"\n[s]\ny = string = a#b\n",
    };
    for (const char *text : schemas) {
        SCOPED_TRACE(text);
        SchemaPtr s(text);
        ASSERT_NE(s.p, nullptr) << s.error.text;
        char *buf = nullptr;
        size_t size = 0;
        std::FILE *mem = open_memstream(&buf, &size);
        ASSERT_EQ(CONF_schema_write_sample(s.p, mem), 0);
        std::fclose(mem);
        const std::string sample(buf, size);
        std::free(buf);
        EXPECT_TRUE(Check(s.p, sample).empty()) << sample;
    }
}

}  // namespace

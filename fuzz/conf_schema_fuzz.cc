// Fuzz target: a schema and a configuration, validated, and the schema's
// reference configuration.
//
// The input is a schema text, a line "%%", and a configuration text (without
// the line, all of it is the schema).  A schema that loads must validate any
// configuration into well-formed findings, answer typed reads without
// crashing, and write a sample that loads and in which validation finds
// nothing; a schema that is refused must say why, with a number.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "conf.h"
#include "conf_schema.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "%s %s\n", what, detail.c_str());
    std::abort();
}

bool IsWarning(CONF_FINDING_KIND kind) {
    return kind == CONF_FINDING_UNKNOWN_SECTION || kind == CONF_FINDING_UNKNOWN_KEY ||
           kind == CONF_FINDING_DEPRECATED;
}

// Checks every finding's fields, and reads each key found through the
// schema as every type (nothing may crash; the answers are checked by the
// unit tests).
void CheckFindings(const CONF_SCHEMA *schema, CONF_CTX *ctx, const CONF_FINDINGS *findings) {
    for (int i = 0; i < CONF_findings_count(findings); ++i) {
        const CONF_FINDING *f = CONF_findings_get(findings, i);
        if (f == nullptr || f->section == nullptr || f->name == nullptr || f->value == nullptr ||
            f->message == nullptr || f->suggestion == nullptr || f->message[0] == '\0')
            Fail("finding with a missing field");
        if (f->kind < CONF_FINDING_UNKNOWN_SECTION || f->kind > CONF_FINDING_DEPRECATED)
            Fail("finding of no kind");
        if ((f->severity == CONF_SEVERITY_WARNING) != IsWarning(f->kind))
            Fail("severity does not match the kind", f->message);
        if (f->line < 0) Fail("negative line");
        int64_t i64 = 0;
        uint64_t u64 = 0;
        double d = 0;
        int n = 0;
        const char *s = nullptr;
        const int rcs[] = {
            CONF_schema_get_int64(schema, ctx, f->section, f->name, &i64),
            CONF_schema_get_double(schema, ctx, f->section, f->name, &d),
            CONF_schema_get_bool(schema, ctx, f->section, f->name, &n),
            CONF_schema_get_size(schema, ctx, f->section, f->name, &u64),
            CONF_schema_get_duration(schema, ctx, f->section, f->name, &i64),
            CONF_schema_get_string(schema, ctx, f->section, f->name, &s),
            CONF_schema_get_enum(schema, ctx, f->section, f->name, &n),
        };
        for (int rc : rcs) {
            if (rc < -2 || rc > 1) Fail("typed read out of its results");
        }
    }
}

// The sample of the schema must load and validate with no finding.
void CheckSample(const CONF_SCHEMA *schema) {
    char *buf = nullptr;
    size_t size = 0;
    std::FILE *mem = open_memstream(&buf, &size);
    if (mem == nullptr) return;
    const int rc = CONF_schema_write_sample(schema, mem);
    std::fclose(mem);
    const std::string sample(buf != nullptr ? buf : "", size);
    std::free(buf);
    if (rc == -110 || rc == -102) return;  // a name no line can give; no memory
    if (rc != 0) Fail("sample not written", std::to_string(rc));
    CONF_CTX *ctx = CONF_new();
    if (CONF_load_buffer(ctx, sample.data(), sample.size()) != 0)
        Fail("sample does not load", CONF_get_last_error_str(ctx) + std::string("\n") + sample);
    CONF_FINDINGS *findings = CONF_schema_validate(schema, ctx);
    if (findings != nullptr && CONF_findings_count(findings) != 0)
        Fail("sample has findings",
             CONF_findings_get(findings, 0)->message + std::string("\n") + sample);
    CONF_findings_free(findings);
    CONF_free(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t cut = input.find("\n%%\n");
    const std::string_view schema_text = input.substr(0, cut);
    const std::string_view conf_text =
        cut == std::string_view::npos ? std::string_view() : input.substr(cut + 4);

    CONF_SCHEMA_ERROR error{};
    CONF_SCHEMA *schema = CONF_schema_load_buffer(schema_text.data(), schema_text.size(), &error);
    if (schema == nullptr) {
        if (error.number == 0 || error.text[0] == '\0' || error.line < 0)
            Fail("refused without a reason");
        return 0;
    }
    if (error.number != 0) Fail("loaded with an error");
    CONF_CTX *ctx = CONF_new();
    CONF_load_buffer(ctx, conf_text.data(), conf_text.size());
    CONF_FINDINGS *findings = CONF_schema_validate(schema, ctx);
    if (findings == nullptr) Fail("validation failed");
    CheckFindings(schema, ctx, findings);
    CONF_findings_free(findings);
    CheckSample(schema);
    CONF_free(ctx);
    CONF_schema_free(schema);
    return 0;
}

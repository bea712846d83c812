// The router's fuzz corpus, replayed in every test run, and the form
// parser's rules, which the fuzzer cannot know.

#include <gtest/gtest.h>

#include "tests/support/fuzz_corpus.h"
#include "tests/tools/fuzz/web_router_fuzz_entry.h"
#include "tools/web/form_fields.h"

namespace fybootp {
namespace {

TEST(WebRouterFuzzCorpus, EveryInputKeepsTheInvariants) {
    testing::ExpectCorpusKeepsInvariants(FYB_WEB_ROUTER_CORPUS, &fuzz::RunWebRouterInput);
}

TEST(FormFields, ParsesStrictlySoThatNoTwoReadersDisagree) {
    const struct {
        const char* text;
        bool parses;
        const char* mac;  // the value of "mac" when it parses
    } cases[] = {
        {"mac=02%3A4b%3A77%3A00%3A00%3A01&ip=192.0.2.10", true, "02:4b:77:00:00:01"},
        {"mac=a+b&&ip=", true, "a b"},
        {"", true, ""},
        {"mac", true, ""},
        {"mac=%zz", false, ""},
        {"mac=%4", false, ""},
        {"mac=%00", false, ""},
        {"=1", false, ""},
        {"mac=1&mac=2", false, ""},
        {"m%61c=1&mac=2", false, ""},
    };
    for (const auto& [text, parses, mac] : cases) {
        std::string why;
        const auto form = web::FormFields::Parse(text, &why);
        EXPECT_EQ(form.has_value(), parses) << text;
        if (form) {
            EXPECT_EQ(form->Get("mac"), mac) << text;
        } else {
            EXPECT_FALSE(why.empty()) << text;
        }
    }
}

}  // namespace
}  // namespace fybootp

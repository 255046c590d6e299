#include "kxstrings/KXLanguage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <vector>

namespace {

// Sets the locale variables for one case and restores them afterwards.
class LocaleEnv {
public:
    explicit LocaleEnv(const std::map<std::string, std::string>& values) {
        for (const char* name : names) {
            const char* v = std::getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
            auto it = values.find(name);
            if (it == values.end())
                unsetenv(name);
            else
                setenv(name, it->second.c_str(), 1);
        }
    }
    ~LocaleEnv() {
        for (auto& [name, v] : saved_) {
            if (v)
                setenv(name.c_str(), v->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    static constexpr const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(KXLanguage, OffersSeventeenDistinctLanguagesEnglishFirst) {
    ASSERT_EQ(KXLanguage::all.size(), 17u);
    EXPECT_EQ(KXLanguage::all[0].code, "en");
    EXPECT_EQ(KXLanguage::all[0].name, "English");
    EXPECT_EQ(KXLanguage::all[1].code, "zh-Hans");
    EXPECT_EQ(KXLanguage::all[16].code, "sw");
    std::set<std::string_view> codes;
    for (const auto& l : KXLanguage::all)
        codes.insert(l.code);
    EXPECT_EQ(codes.size(), 17u);
    EXPECT_TRUE(KXLanguage::isListed("zh-Hant"));
    EXPECT_FALSE(KXLanguage::isListed("en-US"));
    EXPECT_FALSE(KXLanguage::isListed("zh"));
    EXPECT_FALSE(KXLanguage::isListed(""));
}

TEST(KXLanguage, MapsLocaleNamesOntoTheOfferedCodes) {
    const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
        {"de_DE.UTF-8", "de"},
        {"de_AT", "de"},
        {"en_US.UTF-8", "en"},
        {"en_GB", "en"},
        {"EN_us", "en"},
        {"zh_CN.UTF-8", "zh-Hans"},
        {"zh_SG", "zh-Hans"},
        {"zh", "zh-Hans"},
        {"zh_TW.UTF-8", "zh-Hant"},
        {"zh_HK", "zh-Hant"},
        {"zh_MO", "zh-Hant"},
        {"zh-Hant", "zh-Hant"},
        {"zh-Hans-HK", "zh-Hans"},
        {"zh-Hant-CN", "zh-Hant"},
        {"pt_BR.UTF-8", "pt"},
        {"pt_PT", "pt"},
        {"fr_CA.UTF-8@euro", "fr"},
        {"es_MX", "es"},
        {"it_IT", "it"},
        {"ru_RU.KOI8-R", "ru"},
        {"tr_TR", "tr"},
        {"vi_VN", "vi"},
        {"th_TH", "th"},
        {"hi_IN", "hi"},
        {"bn_BD", "bn"},
        {"sw_KE", "sw"},
        {"ja_JP.eucJP", "ja"},
        {"ko_KR", "ko"},
        {"nl_NL.UTF-8", std::nullopt},
        {"sr_RS@latin", std::nullopt},
        {"C", std::nullopt},
        {"C.UTF-8", std::nullopt},
        {"POSIX", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [locale, expected] : cases)
        EXPECT_EQ(KXLanguage::fromLocale(locale), expected) << locale;
}

TEST(KXLanguage, ReadsTheEnvironmentLikeGettext) {
    using Env = std::map<std::string, std::string>;
    const std::vector<std::pair<Env, std::optional<std::string>>> cases = {
        {{}, std::nullopt},
        {{{"LANG", "de_DE.UTF-8"}}, "de"},
        {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}}, "ja"},
        {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}, {"LC_ALL", "fr_FR.UTF-8"}}, "fr"},
        {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", ""}}, "de"}, // empty counts as unset
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "nl:pt_BR:de"}}, "pt"},
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "nl"}}, "en"}, // nothing offered in LANGUAGE
        {{{"LANG", "nl_NL.UTF-8"}, {"LANGUAGE", "nl"}}, std::nullopt},
        {{{"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}}, std::nullopt}, // LANGUAGE is ignored in the C locale
        {{{"LANGUAGE", "de"}}, std::nullopt},
        {{{"LANG", "zh_TW.UTF-8"}}, "zh-Hant"},
    };
    for (const auto& [env, expected] : cases) {
        LocaleEnv scoped(env);
        std::string description;
        for (const auto& [k, v] : env)
            description += k + "=" + v + " ";
        EXPECT_EQ(KXLanguage::fromEnvironment(), expected) << description;
    }
}

TEST(KXLanguage, AtStartPrefersAListedOverrideThenTheEnvironmentThenEnglish) {
    {
        LocaleEnv env(std::map<std::string, std::string>{{"LANG", "de_DE.UTF-8"}});
        EXPECT_EQ(KXLanguage::atStart("ja"), "ja");
        EXPECT_EQ(KXLanguage::atStart("en-US"), "de"); // not a listed code: no override
        EXPECT_EQ(KXLanguage::atStart(std::nullopt), "de");
    }
    {
        LocaleEnv env(std::map<std::string, std::string>{{"LANG", "nl_NL.UTF-8"}});
        EXPECT_EQ(KXLanguage::atStart(std::nullopt), "en");
    }
}

} // namespace

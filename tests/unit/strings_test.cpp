#include "base/strings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>

namespace {

constexpr UiLanguage ALL_LANGUAGES[] = {UiLanguage::English, UiLanguage::Korean,
                                        UiLanguage::Chinese};

class StringsTest : public ::testing::Test {
  protected:
    void TearDown() override { set_language(UiLanguage::English); }

    std::string text(UiLanguage language, int id) {
        set_language(language);
        return LoadString(id);
    }
};

TEST_F(StringsTest, EveryIdHasTextInEveryLanguage) {
    for (UiLanguage language : ALL_LANGUAGES) {
        for (int id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id)
            EXPECT_FALSE(text(language, id).empty()) << id;
        EXPECT_EQ(text(language, 100), "");
        EXPECT_EQ(text(language, 137), "");
        EXPECT_EQ(text(language, 113), "mailto:support@kestrow.example");
    }
}

TEST_F(StringsTest, EachLanguageHasItsOwnTexts) {
    EXPECT_EQ(text(UiLanguage::English, 108), "Pair");
    EXPECT_EQ(text(UiLanguage::Korean, 108), "연결");
    EXPECT_EQ(text(UiLanguage::Chinese, 108), "配对");
    EXPECT_EQ(text(UiLanguage::Korean, 101), "Kestrow Quor 커넥터에 대해서(&A)…");
    EXPECT_EQ(text(UiLanguage::Chinese, 111), "已配对（未登录）");
    EXPECT_EQ(text(UiLanguage::English, 115), "Pair && Sign in(&G)");
    EXPECT_EQ(text(UiLanguage::English, 133), "Text file(*.txt)|*.txt|All file(*.*)|*.*||");
    EXPECT_EQ(text(UiLanguage::Chinese, 133), "文本文件(*.txt)|*.txt|所有文件(*.*)|*.*||");
}

TEST_F(StringsTest, TrailingBlanksAndLineEndsAreKept) {
    EXPECT_EQ(text(UiLanguage::English, 114), "Kestrow Quor Connector\r\nStatus: ");
    EXPECT_EQ(text(UiLanguage::Korean, 114), "Kestrow Quor 커넥터\r\n상태:");
    EXPECT_EQ(text(UiLanguage::Chinese, 114), "KestrowQuor\r\n状态： ");
    EXPECT_EQ(text(UiLanguage::Korean, 126), "장치가 IP: %s로 연결되어 있습니다. ");
    EXPECT_EQ(text(UiLanguage::English, 126), "The device has been connected by IP: %s.");
}

// A message formatted with printf must find exactly the one argument it gets.
TEST_F(StringsTest, FormatTextsHoldExactlyOneConversion) {
    const std::map<int, std::string> conversions = {
        {125, "%s"}, {126, "%s"}, {129, "%d"}, {135, "%s"}};
    for (UiLanguage language : ALL_LANGUAGES) {
        for (int id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id) {
            std::string s = text(language, id);
            auto it = conversions.find(id);
            size_t percent = s.find('%');
            if (it == conversions.end()) {
                EXPECT_EQ(percent, std::string::npos) << id;
                continue;
            }
            ASSERT_NE(percent, std::string::npos) << id;
            EXPECT_EQ(s.substr(percent, 2), it->second) << id;
            EXPECT_EQ(s.find('%', percent + 1), std::string::npos) << id;
        }
    }
}

TEST_F(StringsTest, IntegerPromptIsTheFrameworksChineseText) {
    EXPECT_EQ(integer_prompt_text(), "请输入一个整数。");
}

class LanguageEnvTest : public ::testing::Test {
  protected:
    static constexpr const char* NAMES[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

    void SetUp() override {
        for (const char* name : NAMES) {
            const char* v = getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    UiLanguage with_lang(const char* lang) {
        setenv("LANG", lang, 1);
        return language_from_environment();
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(LanguageEnvTest, LocaleNamesMapToTheThreeLanguages) {
    EXPECT_EQ(language_from_environment(), UiLanguage::English);
    EXPECT_EQ(with_lang("ko_KR.UTF-8"), UiLanguage::Korean);
    EXPECT_EQ(with_lang("ko"), UiLanguage::Korean);
    EXPECT_EQ(with_lang("kok_IN"), UiLanguage::English);
    EXPECT_EQ(with_lang("zh_CN.UTF-8"), UiLanguage::Chinese);
    EXPECT_EQ(with_lang("zh_SG"), UiLanguage::Chinese);
    EXPECT_EQ(with_lang("zh-Hans-CN"), UiLanguage::Chinese);
    EXPECT_EQ(with_lang("zh"), UiLanguage::Chinese);
    EXPECT_EQ(with_lang("zh.UTF-8"), UiLanguage::Chinese);
    EXPECT_EQ(with_lang("zh_TW.UTF-8"), UiLanguage::English);
    EXPECT_EQ(with_lang("zh_HK"), UiLanguage::English);
    EXPECT_EQ(with_lang("C"), UiLanguage::English);
    EXPECT_EQ(with_lang("de_DE.UTF-8"), UiLanguage::English);
}

TEST_F(LanguageEnvTest, VariablesTakePrecedenceInOrder) {
    setenv("LANG", "ko_KR.UTF-8", 1);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    EXPECT_EQ(language_from_environment(), UiLanguage::Chinese);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    EXPECT_EQ(language_from_environment(), UiLanguage::English);
    setenv("LANGUAGE", "ko:zh_CN", 1);
    EXPECT_EQ(language_from_environment(), UiLanguage::Korean);
    setenv("LANGUAGE", "", 1);
    EXPECT_EQ(language_from_environment(), UiLanguage::English);
    setenv("LC_ALL", "", 1);
    EXPECT_EQ(language_from_environment(), UiLanguage::Chinese);
}

}  // namespace

#include "vaultkit/crypto/BIP39Words.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using vaultkit::Mnemonic;
using vaultkit::VaultError;

namespace {

std::string hex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

Mnemonic::Entropy entropyFromHex(const std::string& text) {
    Mnemonic::Entropy e{};
    EXPECT_EQ(text.size(), 32u);
    for (std::size_t i = 0; i < e.size(); ++i)
        e[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    return e;
}

struct Vector {
    std::string entropyHex;
    std::string phrase;
};

std::vector<Vector> officialVectors() {
    std::ifstream in(std::string(HC_SHARED_DATA) + "/bip39-vectors-128.tsv");
    EXPECT_TRUE(in.good()) << "missing " << HC_SHARED_DATA << "/bip39-vectors-128.tsv";
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const auto tab = line.find('\t');
        out.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return out;
}

bool isBadMnemonic(std::string_view typed) {
    try {
        Mnemonic m(typed);
    } catch (const VaultError& e) {
        return e == VaultError::badMnemonic();
    }
    return false;
}

// One valid phrase used by the typing tests (official vector 7f7f...).
const std::string kLegal = "legal winner thank year wave sausage worth useful legal winner thank yellow";
const Mnemonic::Entropy kLegalEntropy = {0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f,
                                         0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f};

} // namespace

TEST(BIP39Words, TableMatchesThePublishedWordList) {
    const auto& words = vaultkit::BIP39Words::english();
    std::string joined;
    for (auto w : words) {
        joined += w;
        joined += '\n';
    }
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
    EXPECT_EQ(hex(digest, sizeof digest), "2f5eed53a4727b4bf8880d8f3f199efc90e58503646d9ff8eff3a2ed3b24dbda");
    EXPECT_EQ(words.front(), "abandon");
    EXPECT_EQ(words.back(), "zoo");
}

TEST(Mnemonic, OfficialVectorsBothDirections) {
    const auto vectors = officialVectors();
    ASSERT_EQ(vectors.size(), 8u);
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.entropyHex);
        const Mnemonic fromEntropy(entropyFromHex(v.entropyHex));
        EXPECT_EQ(fromEntropy.phrase(), v.phrase);
        const auto words = fromEntropy.words();
        ASSERT_EQ(words.size(), 12u);
        std::string joined;
        for (const auto& w : words)
            joined += (joined.empty() ? "" : " ") + w;
        EXPECT_EQ(joined, v.phrase);

        const Mnemonic parsed(v.phrase);
        EXPECT_EQ(hex(parsed.entropy().data(), 16), v.entropyHex);
        EXPECT_EQ(parsed, fromEntropy);
    }
}

TEST(Mnemonic, TypedVariantsParseToTheSameEntropy) {
    const std::vector<std::string> typed = {
        kLegal,
        "LEGAL WINNER THANK YEAR WAVE SAUSAGE WORTH USEFUL LEGAL WINNER THANK YELLOW",
        "Legal wInner thank Year wave sausage worth useful legal winner thank yelloW",
        "legal,winner,thank,year,wave,sausage,worth,useful,legal,winner,thank,yellow",
        "legal, winner, thank, year,\nwave, sausage, worth, useful,\nlegal, winner, thank, yellow",
        "  legal\twinner\t\tthank year\r\nwave sausage\n\nworth useful legal winner thank yellow \n",
        ",,legal winner thank year wave sausage worth useful legal winner thank yellow,,",
        // four-letter prefixes (and the full word where it is shorter)
        "lega winn than year wave saus wort usef lega winn than yell",
        // longer prefixes mixed with full words
        "legal winne thank year wave sausag worth usefu legal winner thank yello",
        // Unicode white space: no-break space, ideographic space, line separator
        "legal\u00a0winner\u3000thank\u2028year wave sausage worth useful legal winner thank yellow",
    };
    for (const auto& t : typed) {
        SCOPED_TRACE(t);
        const Mnemonic m(t);
        EXPECT_EQ(m.entropy(), kLegalEntropy);
        EXPECT_EQ(m.phrase(), kLegal) << "phrase must be the canonical text";
    }
}

TEST(Mnemonic, AllZeroEntropyAndPrefixesOfAbandon) {
    const std::string zero =
        "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
        "abandon about";
    EXPECT_EQ(Mnemonic(Mnemonic::Entropy{}).phrase(), zero);
    EXPECT_EQ(Mnemonic("aban aband abandon aban aban aban aban aban aban aban aban abou").entropy(),
              Mnemonic::Entropy{});
}

TEST(Mnemonic, FourLetterPrefixOfEveryWordOfEveryVector) {
    for (const auto& v : officialVectors()) {
        std::istringstream words(v.phrase);
        std::string word, typed;
        while (words >> word)
            typed += word.substr(0, 4) + " ";
        SCOPED_TRACE(typed);
        EXPECT_EQ(hex(Mnemonic(typed).entropy().data(), 16), v.entropyHex);
    }
}

TEST(Mnemonic, InvalidPhrasesAreBadMnemonic) {
    const std::string abandon11 = "abandon abandon abandon abandon abandon abandon abandon abandon abandon "
                                  "abandon abandon";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"only separators", " ,\t\n, "},
        {"eleven words", "legal winner thank year wave sausage worth useful legal winner thank"},
        {"thirteen words", kLegal + " yellow"},
        {"thirteen valid-looking words", abandon11 + " about about"},
        {"bad checksum: all abandon", abandon11 + " abandon"},
        {"bad checksum: last word changed",
         "legal winner thank year wave sausage worth useful legal winner thank year"},
        {"word longer than any list word",
         "abandons abandon abandon abandon abandon abandon abandon abandon abandon "
         "abandon abandon about"},
        {"two-letter piece",
         "ab abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
         "about"},
        {"three-letter prefix",
         "aba abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
         "about"},
        {"prefix that matches nothing",
         "xyzw winner thank year wave sausage worth useful legal winner thank yellow"},
        {"non-list letters", "légal winner thank year wave sausage worth useful legal winner thank yellow"},
        {"invalid UTF-8", "leg\xff winner thank year wave sausage worth useful legal winner thank yellow"},
        {"NUL inside a word",
         std::string("leg\0al winner thank year wave sausage worth useful legal winner thank "
                     "yellow",
                     74)},
        {"semicolon is not a separator",
         "legal;winner thank year wave sausage worth useful legal winner thank "
         "yellow"},
    };
    for (const auto& [name, typed] : cases)
        EXPECT_TRUE(isBadMnemonic(typed)) << name;
}

TEST(Mnemonic, RecoveryKeyIsPinned) {
    // Entropy 00 01 02 ... 0f. The public key pins the derivation (HKDF-SHA256
    // over the entropy with the recovery salt and info, as an X25519 key): a
    // change here would orphan the recovery copies of every existing vault.
    Mnemonic::Entropy e{};
    for (std::size_t i = 0; i < e.size(); ++i)
        e[i] = static_cast<std::uint8_t>(i);
    const Mnemonic m(e);
    const auto key = m.recoveryKey();
    EXPECT_EQ(hex(key.raw().data(), 32), "a008180964e4aa1b4a2ab44cff699a68d178fb20267fdbee97fc5359f6f253f8");
    EXPECT_EQ(hex(key.publicKey().raw.data(), 32),
              "7935c3a6b54b2c0a2f94e8b6ec1b8f5a2e67de3140bbeb9fc1c9e0262535646a");
    // Deterministic, and the same through the typed phrase.
    EXPECT_EQ(Mnemonic(m.phrase()).recoveryKey().publicKey(), key.publicKey());
    EXPECT_NE(Mnemonic(Mnemonic::Entropy{}).recoveryKey().publicKey(), key.publicKey());
}

TEST(Mnemonic, GenerateGivesFreshValidPhrases) {
    const Mnemonic a = Mnemonic::generate();
    const Mnemonic b = Mnemonic::generate();
    EXPECT_NE(a, b);
    EXPECT_EQ(Mnemonic(a.phrase()), a);
    EXPECT_EQ(a.words().size(), 12u);
}

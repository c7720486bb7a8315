#include "SafariExtension/CodeVerification.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

#include "Common/Deployment.h"
#include "SafariExtension/SigninUrls.h"
#include "platform/Url.h"
#include "platform/testing/FakeCrypto.h"

namespace qv {
namespace {

using testing::FakeCrypto;

bool isBase64UrlWithoutPadding(const std::string& text) {
  return text.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
         std::string::npos;
}

TEST(CodeVerificationTest, verifierIs96RandomBytesAndChallengeIsItsS256) {
  FakeCrypto crypto;
  // The counting pattern 0, 1, …, 95: a value anyone can recompute.
  auto first = CodeVerification::generate(crypto);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->verifier,
            "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-"
            "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5f");
  EXPECT_EQ(first->challenge, "10vGEdIUs89S5HPKbpL7Zkkl0o0Fu1gaA9ZhyeE_I74");

  // Bytes that base64 writes as "+" and "/" come out as "-" and "_", never padded.
  std::array<std::uint8_t, 96> high{};
  high.fill(0xFB);
  high[1] = 0xFF;
  crypto.queueRandom(high);
  auto second = CodeVerification::generate(crypto);
  ASSERT_TRUE(second);
  for (const auto& verification : {*first, *second}) {
    EXPECT_EQ(verification.verifier.size(), 128u);
    EXPECT_EQ(verification.challenge.size(), 43u);
    EXPECT_TRUE(isBase64UrlWithoutPadding(verification.verifier)) << verification.verifier;
    EXPECT_TRUE(isBase64UrlWithoutPadding(verification.challenge)) << verification.challenge;
    EXPECT_EQ(verification.challenge,
              CodeVerification::challengeFor(crypto, verification.verifier));
  }
  EXPECT_TRUE(second->verifier.starts_with("-_")) << second->verifier;
  EXPECT_NE(first->verifier, second->verifier);
}

TEST(CodeVerificationTest, challengeMatchesTheRfc7636Example) {
  // RFC 7636, appendix B.
  FakeCrypto crypto;
  EXPECT_EQ(CodeVerification::challengeFor(crypto, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(CodeVerificationTest, aFailingGeneratorGivesNothing) {
  FakeCrypto crypto;
  crypto.setFailRandom(true);
  EXPECT_EQ(CodeVerification::generate(crypto), std::nullopt);
}

Deployment deployment(std::string webOrigin) {
  Deployment result;
  result.webOrigin = std::move(webOrigin);
  result.bareDomain = "quorvane.example";
  return result;
}

TEST(SigninUrlsTest, theSigninUrlCarriesExactlyThreeQueryItemsInOrder) {
  Deployment service = deployment("https://www.quorvane.example");
  std::string challenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuwjkrPZ3TI";
  auto url = SigninUrls::makeSigninUrl(service, challenge);
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, "https://www.quorvane.example/signin?client_id=extension-safari&code_challenge=" +
                      challenge + "&use_postmessage=true");
  auto parts = UrlComponents::parse(*url);
  ASSERT_TRUE(parts && parts->queryItems);
  EXPECT_EQ(*parts->queryItems, (std::vector<QueryItem>{{"client_id", "extension-safari"},
                                                        {"code_challenge", challenge},
                                                        {"use_postmessage", "true"}}));

  // A port stays; a value that needs escaping is percent-encoded, not spliced in.
  auto local = SigninUrls::makeSigninUrl(deployment("https://127.0.0.1:8443"), "a&b=c d");
  ASSERT_TRUE(local);
  EXPECT_EQ(*local,
            "https://127.0.0.1:8443/signin?client_id=extension-safari&code_challenge=a%26b%3Dc%20d"
            "&use_postmessage=true");
}

TEST(SigninUrlsTest, signinAndSuccessPagesLiveOnTheWebOrigin) {
  Deployment service = deployment("https://www.quorvane.example");
  EXPECT_EQ(SigninUrls::signinUrl(service), "https://www.quorvane.example/signin");
  EXPECT_EQ(SigninUrls::successUrl(service),
            "https://www.quorvane.example/extension-success?utm_medium=store&utm_source=safari");
  EXPECT_EQ(SigninUrls::signinUrl(deployment("https://127.0.0.1:8443")),
            "https://127.0.0.1:8443/signin");
}

}  // namespace
}  // namespace qv

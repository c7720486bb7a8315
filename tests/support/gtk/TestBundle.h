#pragma once

#include <optional>
#include <string>

namespace qv::test {

// The scripted test extension's identifiers and its application bundle, written under a
// directory, and the registration that makes safari-host read it. The extension's
// executable is the qv_test_safari_extension program (linked, not copied); its content
// script records what its page receives in window.qvTest.
struct TestBundle {
  static constexpr const char* kAppIdentifier = "com.example.qvtest";
  static constexpr const char* kExtensionIdentifier = "com.example.qvtest.ext";
  static constexpr const char* kImageName = "ToolbarIcon.png";
  // A second extension in the same application (QvTestOther.appex), with the same
  // scripts and executable.
  static constexpr const char* kOtherIdentifier = "com.example.qvtest.other";

  // Writes <root>/TestApp.app (with its .appex, or both) and registers it in `dataHome`.
  // `caPemPath` names a development CA for QVDeployment.CACertificates. The bundle's path.
  static std::string create(const std::string& root, const std::string& dataHome,
                            const std::optional<std::string>& caPemPath = std::nullopt,
                            bool withOther = false);
};

}  // namespace qv::test

// The source line in each step line, seen through a trace session: it is the
// line of the source file that holds that step's call, as read from the file
// itself, also where a helper logs the step for its caller; and no two
// different steps share one.
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Host/IOStream.h"
#include "Host/JSONUtility.h"
#include "Host/nmMessageSigning.h"
#include "agent/CertificateOperations.h"
#include "agent/TovelAgent.h"
#include "platform/Bstr.h"
#include "platform/UniquePtr.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/cert/SharedPki.h"
#include "tests/support/StepLineRecorder.h"

#ifndef TOVEL_SOURCE_ROOT
#error "TOVEL_SOURCE_ROOT names the source tree whose lines the step lines are held against"
#endif

namespace {

using agenttest::FakeNetwork;
using testpki::Pki;

// The white space that a call's text may be wrapped at, left out on both sides
// of the comparison.
bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A file's text with its white space left out, and the line (from 1) of each
// character that is left, so that a call is found however it is wrapped.
struct FoldedSource {
  std::string text;
  std::vector<int> lines;
};

FoldedSource ReadFolded(const std::string& relativePath) {
  std::ifstream in(std::string(TOVEL_SOURCE_ROOT) + "/" + relativePath);
  EXPECT_TRUE(in.good()) << relativePath;
  FoldedSource folded;
  int line = 1;
  for (char c; in.get(c);) {
    if (c == '\n') ++line;
    if (IsWhiteSpace(c)) continue;
    folded.text += c;
    folded.lines.push_back(line);
  }
  return folded;
}

std::string Fold(const std::string& text) {
  std::string out;
  for (char c : text)
    if (!IsWhiteSpace(c)) out += c;
  return out;
}

// The line at which call begins: its one place in the file, or, with a
// within text, its first place after that text (the start of the function
// that holds it). 0 when there is no such place.
int LineOfCall(const std::string& relativePath, const std::string& within,
               const std::string& call) {
  const FoldedSource source = ReadFolded(relativePath);
  std::size_t from = 0;
  if (!within.empty()) {
    from = source.text.find(Fold(within));
    if (from == std::string::npos) return 0;
  }
  const std::size_t at = source.text.find(Fold(call), from);
  if (at == std::string::npos) return 0;
  if (within.empty() && source.text.find(Fold(call), at + 1) != std::string::npos) return 0;
  return source.lines[at];
}

// One step line of a road, and the call in the source that logs its step.
struct StepAt {
  const char* road;
  std::function<void()> run;
  std::string line;    // how the line begins, its number left out
  std::string source;  // the file, from the source tree's root
  std::string call;    // the text of the call
  std::string within = {};
};

// The number of the first line that begins with want once its number is
// left out; -1 when none does.
int NumberOfLine(const std::vector<std::string>& lines, const std::string& want) {
  static const std::regex kNumbered(R"(^\[([^(\]]*)\((\d+)\)([\s\S]*)$)");
  for (const std::string& line : lines) {
    std::smatch match;
    if (!std::regex_match(line, match, kNumbered)) continue;
    const std::string unnumbered = "[" + match[1].str() + match[3].str();
    if (unnumbered.compare(0, want.size(), want) == 0) return std::stoi(match[2].str());
  }
  return -1;
}

// Writes the text into a pipe that takes it whole, or whose reader has gone.
void WriteToPipe(const std::string& text, bool readerGone) {
  std::signal(SIGPIPE, SIG_IGN);  // as the program does: a gone reader is EPIPE
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  if (readerGone) ::close(fds[0]);
  WriteToNativeMessaging(text.c_str(), fds[1]);
  ::close(fds[1]);
  if (!readerGone) ::close(fds[0]);
}

class StepLineNumbers : public tracetest::StepLineTest {
 protected:
  CTovelAgent agent_{agenttest::TestCertPolicy()};  // before the fake network, whose class key
                                                    // replaces the system's
};

std::string LeafText(const testpki::CertSpec& spec, EVP_PKEY* key) {
  return testpki::Base64(
      testpki::ToDer(testpki::Issue(spec, key, Pki().inter.get(), Pki().interKey.get()).get()));
}

TEST_F(StepLineNumbers, EachStepNamesTheLineOfItsOwnCall) {
  const std::u16string tooLong(MAX_CERT_TEXT_LEN + 1, u'A');
  testpki::CertSpec noUsage = Pki().Leaf({{"CN", testpki::kName1}});
  noUsage.keyUsage.clear();
  const std::string accepted = LeafText(Pki().Leaf({{"CN", testpki::kName1}}), Pki().leafKey.get());
  const std::string shortKey =
      LeafText(Pki().Leaf({{"CN", testpki::kName1}}), agenttest::Rsa1024Key());
  const std::string wrongName =
      LeafText(Pki().Leaf({{"CN", "other.test.invalid"}}), Pki().leafKey.get());
  const testpki::Cert valid = Pki().IssueByInter(Pki().Leaf({{"CN", testpki::kName1}}));

  auto mac = [this](const std::string& text, int adapters, DWORD failWith) {
    return [this, text, adapters, failWith] {
      FakeNetwork network;
      for (int i = 0; i < adapters; ++i)
        network.AddAdapter({"x" + std::to_string(i),
                            {2, 0, 0, 0, 0, static_cast<std::uint8_t>(i)},
                            "10.0.0.2",
                            "10.0.0.1"},
                           true);
      network.failWith = failWith;
      network.lastErrorOnFailure = ERROR_ACCESS_DENIED;
      const std::u16string wide = agenttest::Widen(text);
      char16_t* bstrOut = nullptr;
      agent_.GetMacAddress(wide.c_str(), &bstrOut);
      const UniqueBstr out(bstrOut);
    };
  };
  auto handler = [this](int (*handle)(cJSON**, cJSON*, CTovelAgent*), const char* params,
                        bool withAgent) {
    return [this, handle, params, withAgent] {
      const tovel::UniquePtr<cJSON> parsed(cJSON_Parse(params));
      cJSON* response = nullptr;
      handle(&response, parsed.get(), withAgent ? &agent_ : nullptr);
      cJSON_Delete(response);
    };
  };
  auto construct = [](const char* name) {
    return [name] {
      cJSON* response = nullptr;
      ConstructResponseJSON(&response, name, 0, "r");
      cJSON_Delete(response);
    };
  };
  auto parse = [](const char* request) {
    return [request] { ParseRequestMsgToJSON(request, nullptr, nullptr, nullptr); };
  };
  auto checkTime = [&valid] { VerifyCertTime(valid.get()); };

  const std::string kAgent = "[TovelAgent.cpp:] CTovelAgent::GetMacAddress - ";
  const std::string kAgentFile = "agent/TovelAgent.cpp";
  const std::string kHandlers = "Host/nmMessageSigning.cpp";
  const std::string kJson = "Host/JSONUtility.cpp";
  const std::string kChannel = "Host/IOStream.cpp";
  const std::string kWrite = "(WriteToNativeMessaging -- ";
  const std::string kOps = "agent/CertificateOperations.cpp";
  const std::string kHandlerLine = "[nmMessageSigning.cpp:] ";
  const std::string kValidity = "[CertificateOperations.cpp]:(";
  const std::string tooLarge(MAX_RESPONSE_SIZE + 1, 'a');
  const StepAt steps[] = {
      {"no out place", [this] { agent_.GetMacAddress(u"QUJD", nullptr); },
       kAgent + "Check parameter(pbstrMacAddress)", kAgentFile,
       R"c(WIDE_LOG_FAILED(kMacOp, u"Check parameter(pbstrMacAddress)")c"},
      {"empty text", mac("", 1, 0), kAgent + "Check parameter(bstrBase64ServerCert) [Reason:(NULL",
       kAgentFile,
       R"c(WIDE_LOG_FAILED(kMacOp, u"Check parameter(bstrBase64ServerCert)", E_INVALIDARG,
                          u"(NULL == bstrBase64ServerCert)c"},
      {"text too long",
       [this, &tooLong] {
         char16_t* bstrOut = nullptr;
         agent_.GetMacAddress(tooLong.c_str(), &bstrOut);
         const UniqueBstr out(bstrOut);
       },
       kAgent + "Check parameter(bstrBase64ServerCert) [Reason:wcslen", kAgentFile,
       R"c(WIDE_LOG_FAILED(kMacOp, u"Check parameter(bstrBase64ServerCert)", E_INVALIDARG,
                          u"wcslen(bstrBase64ServerCert) > MAX_CERT_TEXT_LEN")c"},
      {"no certificate", mac("QUJD", 1, 0), kAgent + "GetCertificateType [Reason:", kAgentFile,
       R"c(MacStep(u"GetCertificateType")c"},
      {"SM2 signature", mac(agenttest::Sm2SignedCertBase64(), 1, 0),
       kAgent + "dwCertType [Reason:", kAgentFile, R"c(MacStep(u"dwCertType")c"},
      {"no key usage", mac(LeafText(noUsage, Pki().leafKey.get()), 1, 0),
       kAgent + "CheckCertKeyUsage [Reason:", kAgentFile, R"c(MacStep(u"CheckCertKeyUsage")c"},
      {"subject name refused", mac(wrongName, 1, 0),
       kAgent + "VerifyCertValidity [Reason:", kAgentFile, R"c(MacStep(u"VerifyCertValidity")c"},
      {"adapter list fails", mac(accepted, 1, ERROR_GEN_FAILURE),
       kAgent + "GetNetInfoString [Reason:", kAgentFile, R"c(MacStep(u"GetNetInfoString")c"},
      {"MAC list too long for the key", mac(shortKey, 8, 0),
       kAgent + "RSAEncryptByX509 [Reason:", kAgentFile, R"c(MacStep(u"RSAEncryptByX509")c"},

      {"GetMacAddress without parameters", handler(nmGetMacAddress, "[]", true),
       kHandlerLine + "nmGetMacAddress - Check parameter(Args count)", kHandlers,
       R"c(HandlerStep(kOp, u"Check parameter(Args count)", cJSON_GetArraySize(pJSONArgs) != 1)c"},
      {"GetLastErrorDesc with a parameter", handler(nmGetLastErrorDesc, "[1]", true),
       kHandlerLine + "nmGetLastErrorDesc - Check parameter(Args count)", kHandlers,
       R"c(HandlerStep(kOp, u"Check parameter(Args count)", cJSON_GetArraySize(pJSONArgs) != 0)c"},
      {"GetMacAddress without its agent", handler(nmGetMacAddress, "[]", false),
       kHandlerLine + "nmGetMacAddress - Check parameter(pobjTovelAgent)", kHandlers,
       R"c(HandlerStep(kOp, u"Check parameter(pobjTovelAgent)")c", "int GetMacAddressText("},
      {"GetLastErrorDesc without its agent", handler(nmGetLastErrorDesc, "[]", false),
       kHandlerLine + "nmGetLastErrorDesc - Check parameter(pobjTovelAgent)", kHandlers,
       R"c(HandlerStep(kOp, u"Check parameter(pobjTovelAgent)")c", "int GetLastErrorDescText("},
      {"GetMacAddress without params", handler(nmGetMacAddress, "", true),
       kHandlerLine + "nmGetMacAddress - Check parameter(pArgs)", kHandlers,
       R"c(HandlerStep(kOp, u"Check parameter(pArgs)")c", "int GetMacAddressText("},
      {"the agent refuses", handler(nmGetMacAddress, R"(["QUJD"])", true),
       kHandlerLine + "nmGetMacAddress - GetMacAddress [Reason:", kHandlers,
       R"c(HResultStep(kOp, u"GetMacAddress")c"},

      {"empty request", parse(""),
       "[JSONUtility.cpp:](ParseRequestMsgToJSON -- Check Parameters(pszRequestMsg))\t\t--Failed",
       kJson, "CheckTextGiven(kOp, pszRequestMsg,"},
      {"a request", parse(R"({"function":"GetVersion","params":[]})"),
       "[JSONUtility.cpp]:(ParseRequestMsgToJSON -- Check Parameters(pszRequestMsg))\t\t--OK",
       kJson, "CheckTextGiven(kOp, pszRequestMsg,"},
      {"response without a name", construct(""),
       "[JSONUtility.cpp:](ConstructResponseJSON -- Check Parameters(pszFuncName))\t\t--Failed",
       kJson, "CheckTextGiven(kOp, pszFuncName,"},
      {"a response", construct("GetVersion"),
       "[JSONUtility.cpp]:(ConstructResponseJSON -- Check Parameters(pszFuncName))\t\t--OK", kJson,
       "CheckTextGiven(kOp, pszFuncName,"},

      {"a frame's memory", [] { WriteToPipe("{}", false); },
       "[IOStream.cpp]:" + kWrite + "New memory)\t\t--OK", kChannel, "NewFrame(nWriteBufSize)"},
      {"a frame written", [] { WriteToPipe("{}", false); },
       "[IOStream.cpp]:" + kWrite + "write)\t\t--OK", kChannel,
       "SendFrame(fd, spWriteBuf.get(), nWriteBufSize)"},
      {"a frame to a gone reader", [] { WriteToPipe("{}", true); },
       "[IOStream.cpp:]" + kWrite + "write)\t\t--Failed", kChannel,
       "SendFrame(fd, spWriteBuf.get(), nWriteBufSize)"},
      {"the lone count's memory", [&tooLarge] { WriteToPipe(tooLarge, false); },
       "[IOStream.cpp]:" + kWrite + "New memory)\t\t--OK", kChannel, "NewFrame(kCountSize)"},
      {"the lone count written", [&tooLarge] { WriteToPipe(tooLarge, false); },
       "[IOStream.cpp]:" + kWrite + "write)\t\t--OK", kChannel,
       "SendFrame(fd, spEndCount.get(), kCountSize)"},
      {"the lone count to a gone reader", [&tooLarge] { WriteToPipe(tooLarge, true); },
       "[IOStream.cpp:]" + kWrite + "write)\t\t--Failed", kChannel,
       "SendFrame(fd, spEndCount.get(), kCountSize)"},

      {"validity start taken", checkTime, kValidity + "GetX509NotBefore -- X509_get_notBefore)",
       kOps, R"c(ValidityTimeStep(pASN1Time, "GetX509NotBefore")c"},
      {"validity start converted", checkTime,
       kValidity + "GetX509NotBefore -- ASN1_TIME_To_UTCTime)", kOps,
       R"c(ValidityTimeToUTCStep(pASN1Time, "GetX509NotBefore")c"},
      {"validity end taken", checkTime, kValidity + "GetX509NotAfter -- X509_get_notAfter)", kOps,
       R"c(ValidityTimeStep(pASN1Time, "GetX509NotAfter")c"},
      {"validity end converted", checkTime, kValidity + "GetX509NotAfter -- ASN1_TIME_To_UTCTime)",
       kOps, R"c(ValidityTimeToUTCStep(pASN1Time, "GetX509NotAfter")c"},
  };

  // The step (its file and call) that each number of a file was seen for.
  std::map<std::pair<std::string, int>, std::string> stepOfNumber;
  for (const StepAt& step : steps) {
    SCOPED_TRACE(step.road);
    const int sourceLine = LineOfCall(step.source, step.within, step.call);
    ASSERT_GT(sourceLine, 0) << "the call is not once in " << step.source << ": " << step.call;
    const std::vector<std::string> lines = NumberedLinesOf(step.run);
    std::string all;
    for (const std::string& line : lines) all += line + "\n---\n";
    const int number = NumberOfLine(lines, step.line);
    ASSERT_GT(number, 0) << "no line " << step.line << "\nlines:\n" << all;
    EXPECT_EQ(sourceLine, number) << step.line;

    const std::string stepKey = step.within + step.call;
    const auto [it, inserted] = stepOfNumber.emplace(std::pair(step.source, number), stepKey);
    EXPECT_TRUE(inserted || it->second == stepKey)
        << step.source << "(" << number << ") names two steps: " << it->second << " and "
        << stepKey;
  }
}

}  // namespace

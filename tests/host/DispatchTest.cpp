// The request road from request text to response text, with a fake agent.
#include <gtest/gtest.h>

#include <string>

#include "Host/TovelKitHost.h"
#include "agent/TovelAgent.h"
#include "platform/Bstr.h"

namespace {

class FakeAgent : public CTovelAgent {
 public:
  HRESULT GetMacAddress(const char16_t* cert, char16_t** out) override {
    ++macCalls;
    lastCert = cert;
    *out = SysAllocString(macStatus == S_OK ? u"RU5DUllQVEVE" : u"");
    return macStatus;
  }
  HRESULT GetLastErrorDesc(char16_t** out) override {
    ++descCalls;
    *out = SysAllocString(u"\u65e0\u6548\n(0x00000000)");
    return S_OK;
  }
  HRESULT macStatus = S_OK;
  int macCalls = 0;
  int descCalls = 0;
  std::u16string lastCert;
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pobjTovelAgent = &agent_; }
  void TearDown() override { g_pobjTovelAgent = nullptr; }

  std::string Respond(const std::string& request) {
    char* response = nullptr;
    EXPECT_EQ(0, ParseAndRespondRequest(request.c_str(), &response));
    std::string out = response ? response : "<null>";
    delete[] response;
    return out;
  }

  FakeAgent agent_;
};

TEST_F(DispatchTest, ExactResponses) {
  const struct {
    std::string request;
    std::string response;
  } cases[] = {
      {R"({"function":"GetVersion","params":[],"randomId":"r1"})",
       R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2","randomId":"r1"})"},
      {R"({"function":"getversion","params":[]})",
       R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})"},
      {R"({"function":"GETVERSION","params":{"a":"b"}})",
       R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})"},
      {R"({"function":"GetVersion","params":null})",
       R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})"},
      {R"({"function":"GetVersion ","params":[],"randomId":"r1"})",
       R"({"function":"GetVersion ", "errorcode":-2146893779, "result":false, "randomId":"r1"})"},
      {R"({"function":"Foo","params":[],"randomId":"r1"})",
       R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"r1"})"},
      {R"({"function":"GetVersion","params":[],"randomId":5})",
       R"({"function":"", "errorcode":-2146893779, "result":false})"},
      {R"([1,2,3])", R"({"function":"", "errorcode":-2146893779, "result":false})"},
      {R"({"function":"GetLastErrorDesc","params":[]})",
       "{\"function\":\"GetLastErrorDesc\",\"errorcode\":0,\"result\":\"\xe6\x97\xa0\xe6\x95\x88\\n(0x00000000)\"}"},
      {R"({"function":"GetLastErrorDesc","params":["x"]})",
       R"({"function":"GetLastErrorDesc","errorcode":-2147024809,"result":false})"},
      {R"({"function":"getmacaddress","params":["Q0VSVA=="],"randomId":"m"})",
       R"({"function":"GetMacAddress","errorcode":0,"result":"RU5DUllQVEVE","randomId":"m"})"},
      {R"({"function":"GetMacAddress","params":[]})",
       R"({"function":"GetMacAddress","errorcode":-1,"result":false})"},
      {R"({"function":"GetMacAddress","params":["a","b"]})",
       R"({"function":"GetMacAddress","errorcode":-1,"result":false})"},
      {R"({"function":"GetMacAddress","params":[5]})",
       R"({"function":"GetMacAddress","errorcode":-1610141180,"result":false})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(c.response, Respond(c.request));
  }
}

TEST_F(DispatchTest, GetLastErrorDescTakesAnythingWithoutElements) {
  for (const char* params : {"[]", "{}", "null", "5", "\"text\""}) {
    SCOPED_TRACE(params);
    const std::string response =
        Respond(std::string(R"({"function":"GetLastErrorDesc","params":)") + params + "}");
    EXPECT_NE(std::string::npos, response.find("\"errorcode\":0,")) << response;
  }
  EXPECT_EQ(5, agent_.descCalls);
}

TEST_F(DispatchTest, ParameterErrorsNeverReachTheAgent) {
  Respond(R"({"function":"GetMacAddress","params":[]})");
  Respond(R"({"function":"GetMacAddress","params":["a","b"]})");
  Respond(R"({"function":"GetMacAddress","params":[{"other":"x"}]})");
  Respond(R"({"function":"GetLastErrorDesc","params":[1]})");
  EXPECT_EQ(0, agent_.macCalls);
  EXPECT_EQ(0, agent_.descCalls);
}

TEST_F(DispatchTest, CertificateReachesTheAgentAsUtf16) {
  Respond(R"({"function":"GetMacAddress","params":{"cert":"Q0\u00e9VA=="}})");
  EXPECT_EQ(1, agent_.macCalls);
  EXPECT_EQ(u"Q0\u00e9VA==", agent_.lastCert);
  Respond(R"({"function":"GetMacAddress","params":[{"PARAM":"QUJD"}]})");
  EXPECT_EQ(u"QUJD", agent_.lastCert);
}

TEST_F(DispatchTest, AgentFailureBecomesTheErrorcode) {
  agent_.macStatus = static_cast<HRESULT>(0xA0072401u);
  EXPECT_EQ(R"({"function":"GetMacAddress","errorcode":-1610144767,"result":false})",
            Respond(R"({"function":"GetMacAddress","params":["QUJD"]})"));
}

TEST_F(DispatchTest, MissingAgentIsAParameterError) {
  g_pobjTovelAgent = nullptr;
  EXPECT_EQ(R"({"function":"GetMacAddress","errorcode":-1,"result":false})",
            Respond(R"({"function":"GetMacAddress","params":["QUJD"]})"));
  EXPECT_EQ(R"({"function":"GetLastErrorDesc","errorcode":-2147024809,"result":false})",
            Respond(R"({"function":"GetLastErrorDesc","params":[]})"));
}

}  // namespace

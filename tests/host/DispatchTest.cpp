// The request road from request text to response text, with a fake agent.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <memory>
#include <string>

#include "Host/IOStream.h"
#include "Host/TovelKitHost.h"
#include "agent/TovelAgent.h"
#include "platform/Bstr.h"
#include "platform/UniquePtr.h"

namespace {

class FakeAgent : public CTovelAgent {
 public:
  FakeAgent() : CTovelAgent(BuiltInCertPolicy()) {}
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
    const std::unique_ptr<char[]> owner(response);
    return response ? response : "<null>";
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
      {"\xEF\xBB\xBF{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"r1\"}",
       R"({"function":"", "errorcode":-2146893779, "result":false})"},
      {" \t{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"r1\"}",
       R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2","randomId":"r1"})"},
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

// A request for GetVersion of exactly length bytes whose parse would make
// exactly count values and member names: the object, its two names, the
// method's name, the array and count - 5 numbers, with spaces before "]".
std::string RequestOfValues(std::size_t count, std::size_t length) {
  std::string text = R"({"function":"GetVersion","params":[1)";
  for (std::size_t i = 6; i < count; ++i) text += ",1";
  EXPECT_LE(text.size() + 2, length);
  if (text.size() + 2 > length) return {};
  text.append(length - 2 - text.size(), ' ');
  return text + "]}";
}

// A request may make 4096 values and names, and one more for every 64 bytes
// of its text: at that count it is answered, one above it it is refused.
TEST_F(DispatchTest, ValueAllowanceHoldsToItsLastValue) {
  const std::string answer = R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})";
  const std::string refusal = R"({"function":"", "errorcode":-2146893779, "result":false})";
  for (const std::size_t length : {std::size_t{8500}, std::size_t{1} << 20}) {
    SCOPED_TRACE(length);
    const std::size_t allowance = 4096 + length / 64;
    EXPECT_EQ(answer, Respond(RequestOfValues(allowance, length)));
    EXPECT_EQ(refusal, Respond(RequestOfValues(allowance + 1, length)));
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

// A strict UTF-8 check, written out from the table of well-formed byte
// sequences: the response must pass it whatever the request held.
bool IsWellFormedUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char b = *p;
    int tail = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b < 0x80) {
      tail = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
      tail = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      tail = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      tail = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (end - p <= tail) return false;
    for (int i = 1; i <= tail; ++i) {
      const unsigned char c = p[i];
      if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return false;
    }
    p += 1 + tail;
  }
  return true;
}

// Echoed texts come back as well-formed UTF-8: each maximal ill-formed
// subpart of the request's bytes becomes one U+FFFD; well-formed text, also
// outside the basic plane, is unchanged.
TEST_F(DispatchTest, EveryResponseIsWellFormedUtf8Json) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    const char* name;
    std::string bytes;
    std::string echoed;
  } cases[] = {
      {"well-formed, one to four bytes", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a byte that never starts a sequence",
       "a\xFF"
       "b",
       "a" + fffd + "b"},
      {"a lone continuation byte", "\x80", fffd},
      {"two-byte overlong", "\xC0\xAF", fffd + fffd},
      {"three-byte overlong", "\xE0\x80\xAF", fffd + fffd + fffd},
      {"four-byte overlong", "\xF0\x80\x80\xAF", fffd + fffd + fffd + fffd},
      {"truncated three-byte sequence", "\xE2\x82z", fffd + "z"},
      {"truncated four-byte sequence at the end", "ab\xF0\x9F\x98", "ab" + fffd},
      {"surrogate encoded in UTF-8", "\xED\xA0\x80", fffd + fffd + fffd},
      {"surrogate pair encoded in UTF-8", "\xED\xA0\xBD\xED\xB8\x80",
       fffd + fffd + fffd + fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"the reported case", "\xFF\xC0\x80", fffd + fffd + fffd},
      {"ill-formed beside escapes", "\"\\\x01\xC3", "\"\\\x01" + fffd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string escaped;  // the bytes as a JSON string in the request
    for (char ch : c.bytes)
      escaped += (ch == '"' || ch == '\\') ? std::string("\\") + ch : std::string(1, ch);
    const std::string normal =
        Respond(R"({"function":"GetVersion","params":[],"randomId":")" + escaped + "\"}");
    const std::string fallback = Respond(R"({"function":"Foo)" + escaped +
                                         R"(","params":[],"randomId":")" + escaped + "\"}");
    for (const std::string* response : {&normal, &fallback}) {
      EXPECT_TRUE(IsWellFormedUtf8(*response)) << *response;
      tovel::UniquePtr<cJSON> json(cJSON_Parse(response->c_str()));
      ASSERT_NE(nullptr, json) << *response;
      EXPECT_EQ(c.echoed, cJSON_GetStringValue(cJSON_GetObjectItem(json.get(), "randomId")));
    }
    tovel::UniquePtr<cJSON> json(cJSON_Parse(fallback.c_str()));
    ASSERT_NE(nullptr, json);
    EXPECT_EQ("Foo" + c.echoed, cJSON_GetStringValue(cJSON_GetObjectItem(json.get(), "function")));
  }
}

// An echoed text too long to come back in any response is cut, but never so
// far that the response could be sent: the channel refuses it as before. A
// response of exactly the channel's limit keeps its text whole.
TEST_F(DispatchTest, EchoTooLongForAnyResponseStaysTooLong) {
  const std::string head = R"({"function":"GetVersion","params":[],"randomId":")";
  const std::string shortest = Respond(head + "\"}");  // no randomId echoed
  const std::size_t frame = std::string(R"(,"randomId":"")").size();
  const std::string exact(MAX_RESPONSE_SIZE - shortest.size() - frame, 'r');
  const std::string whole = Respond(head + exact + "\"}");
  EXPECT_EQ(MAX_RESPONSE_SIZE, whole.size());
  EXPECT_NE(std::string::npos, whole.find(exact));

  const struct {
    const char* name;
    std::string unit;
  } cases[] = {{"letters", "r"},
               {"control bytes", "\x01"},
               {"ill-formed bytes", "\xFF"},
               {"quotes", "\\\""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string id;
    while (id.size() < 3 * MAX_RESPONSE_SIZE) id += c.unit;
    for (const std::string& response :
         {Respond(head + id + "\"}"),
          Respond(R"({"function":"Foo","params":[],"randomId":")" + id + "\"}"),
          Respond(R"({"function":")" + id + R"(","params":[]})")}) {
      EXPECT_GT(response.size(), MAX_RESPONSE_SIZE);
      EXPECT_LT(response.size(), MAX_RESPONSE_SIZE + 1024) << "nothing much larger is built";
      EXPECT_TRUE(IsWellFormedUtf8(response));
    }
  }
}

}  // namespace

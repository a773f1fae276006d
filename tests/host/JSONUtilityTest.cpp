#include "Host/JSONUtility.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host/StatusCodes.h"
#include "platform/UniquePtr.h"

namespace {

using JsonPtr = tovel::UniquePtr<cJSON>;
using Text = std::unique_ptr<char[]>;

std::string PrintText(const char* name, const char* randomId, cJSON* response) {
  char* text = nullptr;
  EXPECT_EQ(0, ConvertJSONToResponseMsg(name, randomId, response, &text));
  const Text owner(text);
  return text ? text : "<null>";
}

// What a parse hands out, released when the case ends.
struct Parsed {
  Text name;
  JsonPtr params;
  Text randomId;
};

int Parse(const char* request, Parsed* out) {
  char* name = nullptr;
  cJSON* params = nullptr;
  char* randomId = nullptr;
  const int status = ParseRequestMsgToJSON(request, &name, &params, &randomId);
  out->name.reset(name);
  out->params.reset(params);
  out->randomId.reset(randomId);
  return status;
}

TEST(ParseRequestTest, ExtractsMembersIgnoringCaseFirstMatchWins) {
  const struct {
    std::string request;
    std::string name;
    const char* randomId;  // null: none handed out
    int paramsType;
  } cases[] = {
      {R"({"function":"GetVersion","params":[],"randomId":"r1"})", "GetVersion", "r1", cJSON_Array},
      {R"({"FUNCTION":"x","Params":{"a":1},"RANDOMID":""})", "x", "", cJSON_Object},
      {R"({"function":"first","Function":"second","params":null})", "first", nullptr, cJSON_NULL},
      {"\x01\t\n {\"function\":\"a\\u0041\",\"params\":5} trailing", "aA", nullptr, cJSON_Number},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Parsed parsed;
    ASSERT_EQ(0, Parse(c.request.c_str(), &parsed));
    EXPECT_EQ(c.name, parsed.name.get());
    if (c.randomId == nullptr)
      EXPECT_EQ(nullptr, parsed.randomId);
    else
      EXPECT_STREQ(c.randomId, parsed.randomId.get());
    ASSERT_NE(nullptr, parsed.params);
    EXPECT_EQ(c.paramsType, parsed.params->type & 0xFF);
  }
}

TEST(ParseRequestTest, FailuresHandOutNothing) {
  const struct {
    const char* request;
    int status;
  } cases[] = {
      {"", 87},
      {"not json", -1},
      {"[1,2]", -1},
      {"\"function\"", -1},
      {R"({"params":[]})", -1},
      {R"({"function":5,"params":[]})", -1},
      {R"({"function":"GetVersion"})", -1},
      {R"({"function":"GetVersion","params":[],"randomId":7})", -1},
      // Only bytes 0x01 to 0x20 may stand before the value: no byte-order mark.
      {"\xEF\xBB\xBF{\"function\":\"GetVersion\",\"params\":[]}", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Parsed parsed;
    EXPECT_EQ(c.status, Parse(c.request, &parsed));
    EXPECT_EQ(nullptr, parsed.name);
    EXPECT_EQ(nullptr, parsed.params);
    EXPECT_EQ(nullptr, parsed.randomId);
  }
  EXPECT_EQ(87, ParseRequestMsgToJSON(nullptr, nullptr, nullptr, nullptr));
}

// A request that would make far more values than its size warrants is refused
// before it is parsed, like one that cannot be parsed; the same values spread
// over more text, and brackets or commas inside strings, are parsed as usual.
TEST(ParseRequestTest, RequestsOfFarMoreValuesThanTheirSizeAreRefused) {
  auto numbers = [](int count, const std::string& separator) {
    std::string text = R"({"function":"GetVersion","params":[1)";
    for (int i = 1; i < count; ++i) text += separator + "1";
    return text + "]}";
  };
  auto members = [](int count) {
    std::string text = R"({"function":"GetVersion","params":{"":1)";
    for (int i = 1; i < count; ++i) text += R"(,"":1)";
    return text + "}}";
  };
  std::string manyBrackets(400000, '[');
  for (std::size_t i = 0; i < manyBrackets.size(); i += 4) manyBrackets.replace(i, 4, "{,\\\"");
  const struct {
    const char* name;
    std::string request;
    int status;
  } cases[] = {
      {"a few hundred numbers", numbers(300, ","), 0},
      {"a hundred thousand numbers", numbers(100000, ","), -1},
      {"a hundred thousand members", members(100000), -1},
      {"a hundred thousand numbers spread out", numbers(100000, std::string(64, ' ') + ","), 0},
      {"brackets, commas and escaped quotes inside a string",
       R"({"function":"GetVersion","params":[],"randomId":")" + manyBrackets + "\"}", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed parsed;
    EXPECT_EQ(c.status, Parse(c.request.c_str(), &parsed));
    EXPECT_EQ(c.status == 0, parsed.name != nullptr);
    EXPECT_EQ(c.status == 0, parsed.params != nullptr);
  }
}

TEST(ParseRequestTest, ZeroByteEndsTheText) {
  const std::string request("{\"function\":\"a\",\"params\":[]}\0garbage", 36);
  char* name = nullptr;
  ASSERT_EQ(0, ParseRequestMsgToJSON(request.c_str(), &name, nullptr, nullptr));
  const Text owner(name);
  EXPECT_STREQ("a", name);
}

TEST(ResponseTest, PrintsMembersInOrderWithoutSpaces) {
  const struct {
    int32_t status;
    const char* result;
    const char* randomId;
    std::string expected;
  } cases[] = {
      {0, "1.0.0.2", "r1", R"({"function":"F","errorcode":0,"result":"1.0.0.2","randomId":"r1"})"},
      {0, nullptr, nullptr, R"({"function":"F","errorcode":0})"},
      {0, nullptr, "", R"({"function":"F","errorcode":0})"},
      {E_INVALIDARG, "ignored", nullptr,
       R"({"function":"F","errorcode":-2147024809,"result":false})"},
      {E_JSON_INVALID_TYPE, nullptr, nullptr,
       R"({"function":"F","errorcode":-1610141180,"result":false})"},
      {-1, nullptr, nullptr, R"({"function":"F","errorcode":-1,"result":false})"},
      {0, "a\nb\"c\\/\x01\xe4\xb8\xad", "q\"",
       "{\"function\":\"F\",\"errorcode\":0,\"result\":\"a\\nb\\\"c\\\\/\\u0001\xe4\xb8\xad\",\"randomId\":\"q\\\"\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    cJSON* response = nullptr;
    ASSERT_EQ(0, ConstructResponseJSON(&response, "F", c.status, c.result));
    JsonPtr owner(response);
    EXPECT_EQ(c.expected, PrintText("F", c.randomId, response));
  }
}

TEST(ResponseTest, ConstructRefusesEmptyName) {
  cJSON* response = nullptr;
  EXPECT_EQ(87, ConstructResponseJSON(&response, "", 0, "x"));
  EXPECT_EQ(87, ConstructResponseJSON(&response, nullptr, 0, "x"));
  EXPECT_EQ(nullptr, response);
}

TEST(FallbackResponseTest, FixedLayoutWithEscapedInserts) {
  const struct {
    const char* name;
    const char* randomId;
    std::string expected;
  } cases[] = {
      {"Foo", "r1",
       R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"r1"})"},
      {"Foo", nullptr, R"({"function":"Foo", "errorcode":-2146893779, "result":false})"},
      {"Foo", "", R"({"function":"Foo", "errorcode":-2146893779, "result":false})"},
      {nullptr, nullptr, R"({"function":"", "errorcode":-2146893779, "result":false})"},
      // A crafted randomId stays one string: it cannot add members.
      {"F\"o\\o", "x\",\"errorcode\":0,\"y\":\"",
       R"({"function":"F\"o\\o", "errorcode":-2146893779, "result":false, "randomId":"x\",\"errorcode\":0,\"y\":\""})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::string text = PrintText(c.name, c.randomId, nullptr);
    EXPECT_EQ(c.expected, text);
    JsonPtr parsed(cJSON_Parse(text.c_str()));
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(-2146893779, cJSON_GetObjectItem(parsed.get(), "errorcode")->valueint);
    if (c.name != nullptr) {
      EXPECT_STREQ(c.name, cJSON_GetObjectItem(parsed.get(), "function")->valuestring);
    }
  }
}

TEST(ArrayItemTest, TakesStringOrParamMember) {
  const struct {
    const char* params;
    int index;
    int status;
    const char* text;
  } cases[] = {
      {R"(["abc"])", 0, 0, "abc"},
      {R"(["a","b"])", 1, 0, "b"},
      {R"([{"PARAM":"abc"}])", 0, 0, "abc"},
      {R"({"x":"abc"})", 0, 0, "abc"},
      {R"([])", 0, 87, nullptr},
      {R"(["a"])", 1, 87, nullptr},
      {R"(["a"])", -1, 87, nullptr},
      {R"("abc")", 0, 87, nullptr},
      {R"(null)", 0, 87, nullptr},
      {R"({})", 0, 87, nullptr},
      {R"([5])", 0, E_JSON_INVALID_TYPE, nullptr},
      {R"([null])", 0, E_JSON_INVALID_TYPE, nullptr},
      {R"([["a"]])", 0, E_JSON_INVALID_TYPE, nullptr},
      {R"([{"other":"a"}])", 0, E_JSON_INVALID_TYPE, nullptr},
      {R"([{"param":1}])", 0, E_JSON_INVALID_TYPE, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    JsonPtr params(cJSON_Parse(c.params));
    ASSERT_NE(nullptr, params);
    char* text = nullptr;
    EXPECT_EQ(c.status, ConverJSONArrayItemtoNULLEndString(params.get(), c.index, &text));
    const Text owner(text);
    if (c.text) {
      EXPECT_STREQ(c.text, text);
    } else {
      EXPECT_EQ(nullptr, text);
    }
  }
  char* text = nullptr;
  EXPECT_EQ(87, ConverJSONArrayItemtoNULLEndString(nullptr, 0, &text));
}

}  // namespace

// Request builders. Sending is checked through the XML reader's URL loader.
#include <gtest/gtest.h>

#include "codec/HTTP.h"

using namespace KDXML_HTTP;
using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(RequestBuilders, get_and_form_post_requests) {
  // A GET is sent by the XML reader's URL loader; its wait stays bounded.
  EXPECT_EQ(kdxmlGetRequestWithURL("http://example.test/").timeoutInterval(), platform::kDefaultTimeoutInterval);

  struct Case {
    Fields parameters;
    std::string body;
  };
  for (const auto& [parameters, body] : {
           Case{{{"a", "1"}}, "a=1"}, Case{{}, ""},
           Case{{{"q", "x y&z=1"}, {"b", "2"}}, "q=x y&z=1&b=2"},                       // nothing is escaped
           Case{{{"n", "Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80!"}}, "n=Jos? ? ?!"},  // one '?' a character
           Case{{{"k", "a\xc3z\x80\xff"}}, "k=a?z??"},                                  // and one a stray byte
       }) {
    platform::URLRequest post = kdxmlPostRequestWithURL("http://h/p", parameters);
    EXPECT_EQ(post.url(), "http://h/p");
    EXPECT_EQ(post.httpMethod(), "POST");
    EXPECT_EQ(std::string(platform::stringView(post.httpBody())), body);
    EXPECT_EQ(post.allHTTPHeaderFields(), (Fields{{"Content-Type", "application/x-www-form-urlencoded"},
                                                  {"Content-Length", std::to_string(body.size())}}));
  }
}

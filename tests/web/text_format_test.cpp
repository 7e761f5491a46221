// Escaping and the markup filter: a name from the network never becomes markup.
#include <gtest/gtest.h>

#include "web/text_format.h"

using web::filterMarkup;
using web::TextFormat;
using web::toHtml;

TEST(TextFormat, PlainEscapesEverythingThatMeansMarkupUnfilteredNothing) {
  EXPECT_EQ(toHtml("<script>alert('x')</script> & \"q\"", TextFormat::Plain),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;");
  const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect width=\"4\"/></svg>";
  EXPECT_EQ(toHtml(svg, TextFormat::Unfiltered), svg);
}

TEST(TextFormat, MarkupKeepsOurOwnTagsBalancedAndNothingActive) {
  EXPECT_EQ(filterMarkup("<b>Total servers</b>"), "<b>Total servers</b>");
  EXPECT_EQ(filterMarkup("<hr />"), "<hr />");
  EXPECT_EQ(filterMarkup("a<br/>b"), "a<br />b");
  EXPECT_EQ(filterMarkup("<font color=\"red\">Error: Duplicated hostname</font>"),
            "<font color=\"red\">Error: Duplicated hostname</font>");
  EXPECT_EQ(filterMarkup("<span style=\"font: 12px tahoma,arial;\">x</span>"),
            "<span style=\"font: 12px tahoma,arial;\">x</span>");

  const std::string host = "<script>alert(1)</script>";
  const std::string html = filterMarkup("Name: " + host + "<br/>IP: 10.0.0.1");
  EXPECT_EQ(html, "Name: &lt;script&gt;alert(1)&lt;/script&gt;<br />IP: 10.0.0.1");
  EXPECT_EQ(html.find("<script"), std::string::npos);
  // Event handlers and script links are dropped.
  EXPECT_EQ(filterMarkup("<b onclick=\"steal()\">x</b>"), "<b>x</b>");
  EXPECT_EQ(filterMarkup("<a href=\"javascript:steal()\">x</a>"), "<a>x</a>");
  EXPECT_EQ(filterMarkup("<a href=\" JaVa\tScRiPt:steal()\">x</a>"), "<a>x</a>");
  EXPECT_EQ(filterMarkup("<img src=x onerror=steal()>"), "<img src=\"x\" />");
  EXPECT_EQ(filterMarkup("<span style=\"background:url(javascript:x)\">y</span>"), "<span>y</span>");
  EXPECT_EQ(filterMarkup("<iframe src=\"http://x\"></iframe>"), "&lt;iframe src=\"http://x\"&gt;&lt;/iframe&gt;");
  // A fragment cannot close the element around it.
  EXPECT_EQ(filterMarkup("</div></span>x"), "&lt;/div&gt;&lt;/span&gt;x");
  EXPECT_EQ(filterMarkup("<b>open"), "<b>open</b>");
  EXPECT_EQ(filterMarkup("<b><i>x</b>"), "<b><i>x</i></b>");
  // Entities stay; bare ampersands are escaped.
  EXPECT_EQ(filterMarkup("a &amp; b &nbsp; c & d"), "a &amp; b &nbsp; c &amp; d");
  EXPECT_EQ(filterMarkup("x <!-- hidden --> y"), "x  y");
  EXPECT_EQ(filterMarkup("1 < 2 > 0"), "1 &lt; 2 &gt; 0");
}

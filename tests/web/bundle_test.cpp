// The message bundle.
#include <gtest/gtest.h>

#include "tests/support/scratch.h"
#include "web/application.h"
#include "web/message_bundle.h"

using web::MessageBundle;

TEST(MessageBundle, LooksUpMessagesMarksMissingOnesAndServesTheApplication) {
  trl::test::ScratchRoot root;
  trl::test::writeFile(root.dir() + "/trellium.xml",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<messages>\n"
                       "  <message id=\"dashboard\">The <b>Dashboard</b> shows all servers.<br/>Click one.</message>\n"
                       "  <message id=\"plain\">Just text &amp; more</message>\n"
                       "  <message id=\"empty\"></message>\n"
                       "</messages>\n");
  MessageBundle bundle;
  bundle.use(root.dir() + "/trellium");
  EXPECT_EQ(bundle.tr("dashboard"), "The <b>Dashboard</b> shows all servers.<br />Click one.");
  EXPECT_EQ(bundle.tr("plain"), "Just text &amp; more");
  EXPECT_EQ(bundle.tr("empty"), "");
  EXPECT_EQ(bundle.tr("node-height"), "??node-height??");
  EXPECT_FALSE(bundle.resolve("missing"));
  try {
    bundle.use("/nonexistent/trellium");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/trellium"), std::string::npos) << "an unreadable file names itself";
  }

  web::Application app{web::Environment()};
  app.messageResourceBundle().use(root.dir() + "/trellium");
  EXPECT_EQ(app.tr("plain"), "Just text &amp; more");
  EXPECT_EQ(web::tr("plain"), "Just text &amp; more") << "the current application's";
  EXPECT_EQ(app.tr("x"), "??x??");
}

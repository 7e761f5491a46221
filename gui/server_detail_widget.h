// The Dashboard's detail panel of one server: its picture, addresses and
// power state, its four power buttons, the edits of its name and MAC
// addresses with "Save", and a placeholder for its disks.
// Used only by its browser session, under the session's lock.
#pragma once

#include <optional>
#include <string>

#include "modules/nodes.h"
#include "web/container.h"

class SvgWidget;
namespace web {
class LineEdit;
class PushButton;
class Text;
}  // namespace web

class ServerDetailContainer : public web::Container {
 public:
  ServerDetailContainer();

  // The server to show, copied: the table's records move when it grows, so
  // the panel keeps what it shows. Null shows nothing.
  void setNode(const Nodes::Node* node);
  const Nodes::Node* node() const { return node_ ? &*node_ : nullptr; }
  void setDocRoot(const std::string& path) { docRoot_ = path; }
  // The registry's complaint about the DHCP configuration; empty hides it.
  void setDhcpConfError(const std::string& text);
  // Shows the node. With keepTypedText an edit whose text the person changed
  // keeps it (the panel follows power changes while someone types).
  void update(bool keepTypedText = false);

  web::PushButton* powerOnButton() const { return powerOnButton_; }
  web::PushButton* powerOffButton() const { return powerOffButton_; }
  web::PushButton* shutDownButton() const { return shutDownButton_; }
  web::PushButton* resetButton() const { return resetButton_; }
  web::PushButton* saveButton() const { return saveButton_; }
  web::LineEdit* nameLineEdit() const { return nameLineEdit_; }
  web::LineEdit* macLineEdit() const { return macLineEdit_; }
  web::LineEdit* mcMacLineEdit() const { return mcMacLineEdit_; }
  std::string name() const;
  std::string mac() const;
  std::string mcMac() const;

  // The vector picture of a power status under images/ ("" for none).
  static std::string statusPicture(Nodes::Node::PowerStatus status);
  // The hover text of the picture: markup whose values are all escaped.
  static std::string toolTipFor(const Nodes::Node& node);

 private:
  // A picture file of the document root, read once per process.
  std::string picture(const std::string& file) const;
  void showEdit(web::LineEdit* edit, std::string& shown, const std::string& value, bool keepTypedText);

  web::PushButton* powerOnButton_;
  web::PushButton* powerOffButton_;
  web::PushButton* shutDownButton_;
  web::PushButton* resetButton_;
  web::PushButton* saveButton_;
  web::LineEdit* nameLineEdit_;
  web::LineEdit* macLineEdit_;
  web::LineEdit* mcMacLineEdit_;
  web::Text* statusText_;
  web::Text* ipText_;
  web::Text* mcIpText_;
  web::Text* dhcpConfError_;
  SvgWidget* serverStatusSvg_;
  SvgWidget* hardDiskSvg_;
  std::optional<Nodes::Node> node_;
  std::string docRoot_;
  // What the edits were last given, to tell typed text from shown text.
  std::string shownName_, shownMac_, shownMcMac_;
};

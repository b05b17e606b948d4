// The status item as a tray icon with a context menu, its button (icon, title, tooltip) and
// the pictures shown on it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSizeF>
#include <QSystemTrayIcon>

#include "platform/platform.h"

namespace lumivane::qt {

// A picture file, with its "@2x" variant when one lies beside it ("MenuIcon@2x.png" beside
// "MenuIcon.png") for screens of twice the density.
class FileImage final : public Image {
 public:
  // Null when the file is missing or not a picture Qt can read.
  static std::unique_ptr<FileImage> load(const std::filesystem::path& path);

  void setTemplate(bool isTemplate) override { template_ = isTemplate; }
  void setSize(double width, double height) override { size_ = QSizeF(width, height); }

  // Both densities at the size set (or as loaded); a template image becomes a mask icon,
  // which tray hosts may recolour to suit the panel.
  QIcon icon() const;

 private:
  FileImage(QImage image, QImage image2x) : image_(std::move(image)), image2x_(std::move(image2x)) {}

  QImage image_;
  QImage image2x_;  // null when there is no variant
  bool template_ = false;
  QSizeF size_;
};

// The tray shows only pictures: a title is drawn as text into an icon of 18 and 36 pixels,
// light letters with a dark outline so that it reads on light and dark panels alike.
QIcon iconForTitle(const QString& title);

// The Qt key sequence for a key equivalent drawn with the default modifier, Ctrl here: "o"
// is Ctrl+O, an upper-case "O" is Ctrl+Shift+O. Empty for "".
QKeySequence shortcutForKeyEquivalent(const std::string& keyEquivalent);

class TrayStatusButton final : public StatusButton {
 public:
  explicit TrayStatusButton(QSystemTrayIcon& tray) : tray_(tray) {}

  void setImage(std::unique_ptr<Image> image) override;
  void setTitle(const std::string& title) override;
  void setToolTip(const std::string& toolTip) override;

  // The icon to show: the image when one is set, else the drawn title, else a blank one
  // (a tray icon needs a picture to be shown at all).
  QIcon currentIcon() const;

 private:
  QSystemTrayIcon& tray_;
  std::unique_ptr<FileImage> image_;
  QString title_;
};

class TrayStatusItem final : public StatusItem {
 public:
  TrayStatusItem();
  ~TrayStatusItem() override;

  StatusButton* button() override { return &button_; }
  // Refills the one context menu; the menu object itself stays, since tray hosts keep a
  // reference to the menu they were first shown.
  void setMenu(Menu menu) override;

 private:
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QMenu> menu_;
  TrayStatusButton button_;
  Menu items_;  // keeps the actions the menu's entries call
};

}  // namespace lumivane::qt

// See tray_status_item.h.
#include "platform/qt/tray_status_item.h"

#include <cctype>
#include <utility>

#include <QAction>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>

namespace lumivane::qt {

namespace {

QImage readImage(const QString& path) {
  QImageReader reader(path);
  return reader.read();  // null when unreadable
}

QString atTwoXPath(const std::filesystem::path& path) {
  const std::filesystem::path variant =
      path.parent_path() / (path.stem().string() + "@2x" + path.extension().string());
  return QString::fromStdString(variant.string());
}

QPixmap pixmapAt(const QImage& image, QSize pixels, qreal devicePixelRatio) {
  QImage scaled = pixels.isValid() && image.size() != pixels
                      ? image.scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                      : image;
  QPixmap pixmap = QPixmap::fromImage(scaled);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

QPixmap titlePixmap(const QString& title, int side) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QFont font;
  font.setBold(true);
  font.setPixelSize(side);
  // Shrink the letters until the title fits the square with a small margin.
  const qreal room = side * 0.92;
  for (int size = side; size > 4; --size) {
    font.setPixelSize(size);
    const QRectF bounds = QFontMetricsF(font).tightBoundingRect(title);
    if (bounds.width() <= room && bounds.height() <= room) break;
  }
  const QRectF bounds = QFontMetricsF(font).tightBoundingRect(title);
  QPainterPath path;
  path.addText((side - bounds.width()) / 2 - bounds.left(), (side - bounds.height()) / 2 - bounds.top(),
               font, title);
  painter.strokePath(path, QPen(QColor(0, 0, 0, 200), side / 9.0));
  painter.fillPath(path, Qt::white);
  return pixmap;
}

}  // namespace

std::unique_ptr<FileImage> FileImage::load(const std::filesystem::path& path) {
  QImage image = readImage(QString::fromStdString(path.string()));
  if (image.isNull()) return nullptr;
  QImage image2x = readImage(atTwoXPath(path));
  return std::unique_ptr<FileImage>(new FileImage(std::move(image), std::move(image2x)));
}

QIcon FileImage::icon() const {
  const QSize points = size_.isValid() && !size_.isEmpty() ? size_.toSize() : QSize();
  QIcon icon;
  icon.addPixmap(pixmapAt(image_, points, 1.0));
  if (!image2x_.isNull()) icon.addPixmap(pixmapAt(image2x_, points.isValid() ? points * 2 : QSize(), 2.0));
  icon.setIsMask(template_);
  return icon;
}

QIcon iconForTitle(const QString& title) {
  QIcon icon;
  icon.addPixmap(titlePixmap(title, 18));
  icon.addPixmap(titlePixmap(title, 36));
  return icon;
}

QKeySequence shortcutForKeyEquivalent(const std::string& keyEquivalent) {
  if (keyEquivalent.empty()) return {};
  const auto c = static_cast<unsigned char>(keyEquivalent.front());
  if (keyEquivalent.size() == 1 && std::isgraph(c)) {
    // Qt's key codes for printable ASCII are the upper-case characters themselves.
    const auto key = static_cast<Qt::Key>(std::toupper(c));
    return std::isupper(c) ? QKeySequence(Qt::CTRL | Qt::SHIFT | key) : QKeySequence(Qt::CTRL | key);
  }
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(keyEquivalent));
}

void TrayStatusButton::setImage(std::unique_ptr<Image> image) {
  // Only pictures from this platform's own loader can be shown; any other clears the image.
  if (dynamic_cast<FileImage*>(image.get()) != nullptr) {
    image_.reset(static_cast<FileImage*>(image.release()));
  } else {
    image_.reset();
  }
  tray_.setIcon(currentIcon());
}

void TrayStatusButton::setTitle(const std::string& title) {
  title_ = QString::fromStdString(title);
  tray_.setIcon(currentIcon());
}

void TrayStatusButton::setToolTip(const std::string& toolTip) {
  tray_.setToolTip(QString::fromStdString(toolTip));
}

QIcon TrayStatusButton::currentIcon() const {
  if (image_) return image_->icon();
  if (!title_.isEmpty()) return iconForTitle(title_);
  QPixmap blank(18, 18);
  blank.fill(Qt::transparent);
  return QIcon(blank);
}

TrayStatusItem::TrayStatusItem()
    : tray_(std::make_unique<QSystemTrayIcon>()),
      menu_(std::make_unique<QMenu>()),
      button_(*tray_) {
  tray_->setIcon(button_.currentIcon());
  tray_->setContextMenu(menu_.get());
  // Shown once, when the caller has finished setting the picture, tooltip and menu in the
  // same turn of the event loop; hiding and showing again would make hosts lose the menu.
  QTimer::singleShot(0, tray_.get(), [tray = tray_.get()] { tray->show(); });
}

TrayStatusItem::~TrayStatusItem() {
  tray_->setContextMenu(nullptr);
}

void TrayStatusItem::setMenu(Menu menu) {
  items_ = std::move(menu);
  menu_->clear();
  for (const MenuItem& item : items_.itemArray()) {
    if (item.separator) {
      menu_->addSeparator();
      continue;
    }
    // A lone '&' would mark a mnemonic and vanish ("Licences & Credits"); "&&" shows one.
    QAction* action =
        menu_->addAction(QString::fromStdString(item.title).replace(u'&', QStringLiteral("&&")));
    action->setShortcut(shortcutForKeyEquivalent(item.keyEquivalent));
    action->setShortcutVisibleInContextMenu(true);
    action->setEnabled(item.enabled());
    if (item.action) QObject::connect(action, &QAction::triggered, action, [run = item.action] { run(); });
  }
}

}  // namespace lumivane::qt

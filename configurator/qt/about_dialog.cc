#include "configurator/qt/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "configurator/qt/icon.h"

namespace kavex::configurator::qt {

QString VersionLine() {
  return QStringLiteral("VeltoOPC Version ") + QStringLiteral(KAVEX_VERSION);
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("about_dialog");
  setWindowTitle(kAboutCaption);
  auto* icon = new QLabel(this);
  icon->setPixmap(VeltoPixmap(64));
  icon->setAlignment(Qt::AlignTop);
  auto* version = new QLabel(VersionLine(), this);
  version->setObjectName("version");
  auto* copyright =
      new QLabel("Copyright (C) the Kavex OPC developers", this);
  copyright->setObjectName("copyright");
  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(version);
  texts->addWidget(copyright);
  texts->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(12);
  top->addLayout(texts, 1);
  top->addWidget(ok, 0, Qt::AlignTop);
  setLayout(top);
}

}  // namespace kavex::configurator::qt

#include "qt/supported_panels.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "app/window_model.h"
#include "qt/style.h"

namespace tarvex {

namespace {
constexpr int kOverviewHeight = layout::kInfoOverviewHeight;
}  // namespace

TfrmSupportedPanels::TfrmSupportedPanels(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmSupportedPanels"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(InterfaceFont());

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  gbOverview = new QGroupBox(this);
  gbOverview->setObjectName(QStringLiteral("gbOverview"));
  gbOverview->setFixedHeight(kOverviewHeight);
  QFont bold = InterfaceFont();
  bold.setBold(true);
  gbOverview->setFont(bold);
  auto* overviewLayout = new QVBoxLayout(gbOverview);
  overviewLayout->setContentsMargins(0, 0, 0, 0);
  auto* inner = new QWidget(gbOverview);
  inner->setObjectName(QStringLiteral("sPanel2"));
  auto* innerLayout = new QVBoxLayout(inner);
  innerLayout->setContentsMargins(6, 6, 6, 6);
  lblInfo = new QLabel(inner);
  lblInfo->setObjectName(QStringLiteral("lblInfo"));
  lblInfo->setFont(InterfaceFont());
  lblInfo->setWordWrap(true);
  lblInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  PaintAsCaption(lblInfo);
  innerLayout->addWidget(lblInfo);
  overviewLayout->addWidget(inner);
  layout->addWidget(gbOverview);

  sPanel1 = new QWidget(this);
  sPanel1->setObjectName(QStringLiteral("sPanel1"));
  sPanel1->setFixedHeight(layout::kInfoSpacer);
  layout->addWidget(sPanel1);

  sMemo1 = new QPlainTextEdit(this);
  sMemo1->setObjectName(QStringLiteral("sMemo1"));
  sMemo1->setReadOnly(true);
  sMemo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  QPalette p = sMemo1->palette();
  p.setColor(QPalette::Base, kFieldBackground);
  p.setColor(QPalette::Text, Qt::black);
  sMemo1->setPalette(p);
  layout->addWidget(sMemo1, 1);
}

void TfrmSupportedPanels::showEvent(QShowEvent* e) {
  FormShow();
  QDialog::showEvent(e);
}

void TfrmSupportedPanels::FormShow() {
  const TSupportedPanelsContent c = SupportedPanelsContent(LanguageIndex);
  setWindowTitle(QString::fromStdString(c.caption));
  gbOverview->setTitle(QString::fromStdString(c.overview));
  lblInfo->setText(UiText(c.info));
  // Where Arial is missing the substitute face can run wider; the memo
  // then gives up the space the text needs rather than the text being cut.
  gbOverview->setFixedHeight(kOverviewHeight);
  layout()->activate();
  const int missing = lblInfo->heightForWidth(lblInfo->width()) - lblInfo->height();
  if (missing > 0) gbOverview->setFixedHeight(kOverviewHeight + missing);
  // Emptied first, so the list never accumulates.
  sMemo1->clear();
  QStringList lines;
  for (const std::string& line : c.lines) lines << QString::fromStdString(line);
  sMemo1->setPlainText(lines.join(QLatin1Char('\n')));
}

}  // namespace tarvex

#include "engine/page_printer.h"

#include <utility>

#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace vorla::engine {
namespace {

const char kCaption[] = "Vorla";
const char kNotPrinted[] = "无法打印此页面。";
// What waits for a print (a page's close) waits this long at most.
constexpr int kDeferTimeoutMs = 30000;

}  // namespace

PagePrinter::PagePrinter(QWebEngineView* view, bool ready) : QObject(view), m_view(view), m_ready(ready) {
  connect(view, &QWebEngineView::printRequested, this, &PagePrinter::OnPrintRequested);
  connect(view, &QWebEngineView::printFinished, this, &PagePrinter::OnPrinted);
  connect(view, &QWebEngineView::pdfPrintingFinished, this, [this](const QString&, bool success) { OnPrinted(success); });
}

PagePrinter::~PagePrinter() {
  delete m_dialog.data();
  // The engine's print worker may still write into the printer on a thread of
  // its own, which nothing here can wait for: left to it.
  if (!m_printing)
    delete m_printer;
}

void PagePrinter::SetReady() {
  m_ready = true;
  if (std::exchange(m_requested, false))
    OnPrintRequested();
}

bool PagePrinter::Defer(std::function<void()> then) {
  if (!m_dialog && !m_printing && !m_requested)
    return false;
  m_deferred.push_back(std::move(then));
  if (m_deferred.size() == 1)
    QTimer::singleShot(kDeferTimeoutMs, this, [this] {
      for (std::function<void()>& deferred : std::exchange(m_deferred, {}))
        deferred();
    });
  return true;
}

void PagePrinter::OnPrintRequested() {
  // A second window.print() while the dialog is open asks nothing more. The
  // engine refuses a print while another one lays the page out: one made
  // before the page is ready, or still printing, waits for its end.
  if (m_dialog)
    return;
  if (!m_ready || m_printing) {
    m_requested = true;
    return;
  }
  ShowDialog();
}

void PagePrinter::ShowDialog() {
  m_printer = new QPrinter(QPrinter::HighResolution);
  // The job's name in the queue, and the file name print to file offers.
  m_printer->setDocName(m_view->page()->title());
  // open(), not exec(): the page's window waits for the answer, every other
  // window goes on.
  m_dialog = new QPrintDialog(m_printer, m_view->window());
  m_dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(m_dialog, &QDialog::finished, this, &PagePrinter::OnAnswered);
  m_dialog->open();
}

void PagePrinter::OnAnswered(int result) {
  m_dialog = nullptr;
  if (result != QDialog::Accepted) {
    delete std::exchange(m_printer, nullptr);
    OnPrinted(true);
    return;
  }
  m_printing = true;
  // Print to file writes the engine's own PDF, text and all; a printer gets
  // the pages rasterised by the engine's print worker.
  if (m_printer->outputFormat() == QPrinter::PdfFormat && !m_printer->outputFileName().isEmpty())
    m_view->page()->printToPdf(m_printer->outputFileName(), m_printer->pageLayout(), m_printer->pageRanges());
  else
    m_view->print(m_printer);
}

void PagePrinter::OnPrinted(bool success) {
  if (std::exchange(m_printing, false))
    delete std::exchange(m_printer, nullptr);
  if (!success) {
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kCaption), QString::fromUtf8(kNotPrinted),
                                QMessageBox::Ok, m_view->window());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  for (std::function<void()>& deferred : std::exchange(m_deferred, {}))
    deferred();
  if (std::exchange(m_requested, false))
    OnPrintRequested();
}

}  // namespace vorla::engine

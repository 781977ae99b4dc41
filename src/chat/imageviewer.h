// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QWidget>

namespace MeetingSupport {

class ImageView;
class ImageViewerPrivate;

// A window that shows one picture of the chat history, with zoom buttons and the zoom
// percentage. Closing only hides it and lets go of the picture; the next picture reuses it.
class ImageViewer : public QWidget
{
    Q_OBJECT
public:
    // Always a window of its own: there is no parent.
    ImageViewer();
    ~ImageViewer() override;

    // Opens the picture, sizes the window for it (at most the screen's available area less 128
    // pixels each way) and centres it on the screen. The caller shows the window.
    void showImage(const QImage& image);
    QImage image() const;
    ImageView* view() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateStatus();

    ImageViewerPrivate* d;
    friend class ImageViewerPrivate;
};

} // namespace MeetingSupport

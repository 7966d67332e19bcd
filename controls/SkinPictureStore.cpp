#include "controls/SkinPictureStore.h"

#include <QPainter>
#include <QString>

namespace nimbrel {

SkinPictureStore& SkinPictureStore::instance() {
    static SkinPictureStore store;
    return store;
}

int SkinPictureStore::findOrLoad(const std::string& name) {
    std::lock_guard guard(lock_);
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        if (pictures_[i].first == name) return static_cast<int>(i);
    }
    // A picture that fails to load keeps its slot: a second button naming it must not retry and
    // shift the indices the first one holds.
    QImage picture(QString::fromStdString(name));
    if (!picture.isNull() && picture.format() != QImage::Format_RGB32 &&
        picture.format() != QImage::Format_ARGB32_Premultiplied) {
        // One conversion at load time so every later copy is a plain block transfer.
        picture = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                                    : QImage::Format_RGB32);
    }
    pictures_.emplace_back(name, std::move(picture));
    return static_cast<int>(pictures_.size() - 1);
}

const QImage* SkinPictureStore::pictureAt(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= pictures_.size()) return nullptr;
    const QImage& picture = pictures_[static_cast<std::size_t>(index)].second;
    return picture.isNull() ? nullptr : &picture;
}

void SkinPictureStore::draw(QPainter& painter, int index, const QRect& source) const {
    std::lock_guard guard(lock_);
    const QImage* picture = pictureAt(index);
    if (picture == nullptr) return;
    // Only the part of the source inside the picture is copied, each pixel to the place it would
    // have had; what lies outside the picture leaves the target untouched.
    const QRect inside = source.intersected(picture->rect());
    if (inside.isEmpty()) return;
    painter.save();
    // A skin image replaces the pixels under it, as a raster copy would, rather than blending.
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(inside.topLeft() - source.topLeft(), *picture, inside);
    painter.restore();
}

bool SkinPictureStore::isLoaded(int index) const {
    std::lock_guard guard(lock_);
    return pictureAt(index) != nullptr;
}

QSize SkinPictureStore::pictureSize(int index) const {
    std::lock_guard guard(lock_);
    const QImage* picture = pictureAt(index);
    return picture == nullptr ? QSize() : picture->size();
}

std::size_t SkinPictureStore::count() const {
    std::lock_guard guard(lock_);
    return pictures_.size();
}

}  // namespace nimbrel

#include "game/picture.hpp"

#include <algorithm>

namespace varno {

namespace {

constexpr std::string_view HEADER = "   1   2   3   4\n";
constexpr std::string_view FACE_DOWN = "[XXXXXX]";
constexpr std::string_view EMPTY = "[  --  ]";

class PictureWriter {
  public:
    explicit PictureWriter(Picture& picture) : picture_(picture) {}

    void put(std::string_view text) {
        VARNO_CHECK(picture_.size + text.size() <= Picture::MAX_SIZE, "picture overflow");
        std::copy(text.begin(), text.end(), picture_.chars.begin() + picture_.size);
        picture_.size += text.size();
    }
    void put(char c) { put(std::string_view(&c, 1)); }

  private:
    Picture& picture_;
};

}  // namespace

Picture render(const Grid& grid) {
    Picture picture;
    PictureWriter out(picture);
    out.put(HEADER);
    for (unsigned row = 0; row < ROWS; ++row) {
        out.put(static_cast<char>('A' + row));
        out.put(' ');
        for (unsigned col = 0; col < COLS; ++col) {
            const Cell& cell = grid.at(row, col);
            switch (cell.state) {
                case CellState::FaceUp: {
                    const char face[] = {'[',
                                         ' ',
                                         cell.owner == Player::A ? 'A' : 'B',
                                         cell.kind == CardType::Normal ? 'N' : 'F',
                                         ' ',
                                         ']'};
                    out.put(std::string_view(face, sizeof face));
                    break;
                }
                case CellState::FaceDown:
                    out.put(FACE_DOWN);
                    break;
                case CellState::Empty:
                    out.put(EMPTY);
                    break;
            }
        }
        out.put('\n');
    }
    return picture;
}

}  // namespace varno

#include "support/cell_values.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tabulix::test {

using cells::CellBlock;

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

namespace {

void AppendCell(std::string& out, bool& first, unsigned row, unsigned column, char kind,
                const std::string& text, double number = 0) {
  out += first ? "[" : ",[";
  first = false;
  out += std::to_string(row) + "," + std::to_string(column) + ",\"";
  out += kind;
  out += "\",";
  if (kind == 's') {
    AppendJsonString(out, text);
  } else if (kind == 'n' && !std::isfinite(number)) {
    // Python's reader takes these spellings of the values JSON itself has no words for.
    out += std::isnan(number) ? "NaN" : (number > 0 ? "Infinity" : "-Infinity");
  } else if (kind == 'n') {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
  } else {
    out += text;
  }
  out += ']';
}

}  // namespace

namespace {

// Calls emit(row, column, kind, text, number) for every cell that holds a value.
template <class Emit>
void ForEachValue(const Worksheet& sheet, const Workbook& globals, Emit&& emit) {
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const CellBlock& cell : block.cellBlocks_) {
      const unsigned row = cell.Row();
      const unsigned column = cell.Column();
      if (const auto* number = cell.As<CellBlock::Number>()) {
        emit(row, column, 'n', "", number->value());
      } else if (const auto* rk = cell.As<CellBlock::RK>()) {
        emit(row, column, 'n', "", rk->value());
      } else if (const auto* mulRk = cell.As<CellBlock::MulRK>()) {
        unsigned c = column;
        for (const auto& entry : mulRk->entries()) emit(row, c++, 'n', "", entry.value());
      } else if (const auto* label = cell.As<CellBlock::LabelSST>()) {
        emit(row, column, 's', globals.sst_.Text(label->sstIndex_));
      } else if (const auto* text = cell.As<CellBlock::Label>()) {
        emit(row, column, 's', text->Text());
      } else if (const auto* boolErr = cell.As<CellBlock::BoolErr>()) {
        emit(row, column, boolErr->error_ != 0 ? 'e' : 'b', std::to_string(boolErr->value_));
      } else if (const auto* formula = cell.As<CellBlock::Formula>()) {
        using Kind = CellBlock::Formula::ResultKind;
        switch (formula->resultKind()) {
          case Kind::Number:
            emit(row, column, 'n', "", formula->resultNumber());
            break;
          case Kind::String:
            emit(row, column, 's', formula->resultString());
            break;
          case Kind::EmptyString:
            emit(row, column, 's', "");
            break;
          case Kind::Boolean:
            emit(row, column, 'b', formula->resultBoolean() ? "1" : "0");
            break;
          case Kind::Error:
            emit(row, column, 'e', std::to_string(formula->resultError()));
            break;
          case Kind::Other:
            break;
        }
      }
    }
  }
}

}  // namespace

std::string SheetCells(const Worksheet& sheet, const Workbook& globals) {
  std::string out = "[";
  bool first = true;
  ForEachValue(sheet, globals,
               [&](unsigned row, unsigned column, char kind, const std::string& text,
                   double number = 0) { AppendCell(out, first, row, column, kind, text, number); });
  return out + "]";
}

CellValues SheetCellValues(const Worksheet& sheet, const Workbook& globals) {
  CellValues values;
  ForEachValue(
      sheet, globals,
      [&](unsigned row, unsigned column, char kind, const std::string& text, double number = 0) {
        std::string item;
        bool first = true;
        AppendCell(item, first, 0, 0, kind, text, number);
        values[{row, column}] = item.substr(item.find(',', item.find(',') + 1) + 1);
      });
  return values;
}

std::vector<CellValues> SheetsCellValues(const std::vector<Worksheet>& sheets,
                                         const Workbook& globals) {
  std::vector<CellValues> out;
  out.reserve(sheets.size());
  for (const Worksheet& sheet : sheets) out.push_back(SheetCellValues(sheet, globals));
  return out;
}

std::size_t CellsFound(const std::vector<CellValues>& expected,
                       const std::vector<CellValues>& got) {
  std::size_t total = 0;
  for (const CellValues& sheet : expected) {
    std::size_t best = 0;
    for (const CellValues& candidate : got) {
      std::size_t same = 0;
      for (const auto& [place, value] : sheet) {
        const auto it = candidate.find(place);
        if (it != candidate.end() && it->second == value) ++same;
      }
      best = std::max(best, same);
    }
    total += best;
  }
  return total;
}

}  // namespace tabulix::test

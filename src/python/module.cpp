// tabulix._tabulix: the Python module's native half. It loads a file through the core with
// the interpreter's lock released, and hands the recovered cells to Python as values: one
// Python object per cell when the caller asks for a list, whole typed columns when it asks
// for a DataFrame. The public names, the exceptions and pandas live in tabulix/__init__.py.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// The datetime C API: the cells of a date format become datetime objects without a call
// into Python per cell.
#include <datetime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/log.hpp"
#include "document/export_cells.hpp"
#include "document/export_formats.hpp"
#include "document/report_json.hpp"
#include "document/report_text.hpp"
#include "document/xls_document.hpp"

namespace py = pybind11;

namespace {

using tabulix::RecoveryReport;
using tabulix::XlsDocument;
using tabulix::exporting::ExportCell;

// Milliseconds since 1970-01-01 of the date a serial number stands for, the way Python's
// readers of these files (xlrd's xldate_as_datetime) count: 1900-based serials below 60
// from 1899-12-31, the others from 1899-12-30 (so that Excel's 1900-02-29, which never
// was, reads as the day before), 1904-based ones from 1904-01-01; the fraction of a day
// rounded to the millisecond, halves to even. Nothing for what no datetime holds: a
// negative serial, NaN, or a date past 9999-12-31.
std::optional<std::int64_t> SerialToUnixMillis(double serial, bool date1904) {
  constexpr double kLastSerial1900 = 2958466.0;  // 10000-01-01
  constexpr std::int64_t kDayMillis = 86'400'000;
  if (!(serial >= 0) || serial >= kLastSerial1900) return std::nullopt;
  const double whole = std::floor(serial);
  const auto days = static_cast<std::int64_t>(whole);
  const auto millis = static_cast<std::int64_t>(std::nearbyint((serial - whole) * 86'400'000.0));
  const std::int64_t epoch = date1904 ? -24'107 : serial < 60 ? -25'568 : -25'569;
  const std::int64_t result = (epoch + days) * kDayMillis + millis;
  constexpr std::int64_t kEndOf9999 = 2'932'897 * kDayMillis;  // 10000-01-01 since 1970
  if (result >= kEndOf9999) return std::nullopt;
  return result;
}

// The civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
struct CivilDate {
  int year;
  int month;
  int day;
};
CivilDate CivilFromDays(std::int64_t days) {
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const std::int64_t dayOfEra = days - era * 146'097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  const auto month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  const auto year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
  return {year, month, day};
}

py::object DateTimeOf(std::int64_t unixMillis) {
  constexpr std::int64_t kDayMillis = 86'400'000;
  std::int64_t days = unixMillis / kDayMillis;
  std::int64_t rest = unixMillis % kDayMillis;
  if (rest < 0) {
    rest += kDayMillis;
    --days;
  }
  const CivilDate date = CivilFromDays(days);
  const auto hour = static_cast<int>(rest / 3'600'000);
  const auto minute = static_cast<int>(rest / 60'000 % 60);
  const auto second = static_cast<int>(rest / 1000 % 60);
  const auto micro = static_cast<int>(rest % 1000 * 1000);
  PyObject* value =
      PyDateTime_FromDateAndTime(date.year, date.month, date.day, hour, minute, second, micro);
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// A text from the model as a Python str. The model's texts are UTF-8; a byte that is not
// becomes U+FFFD rather than an exception in the middle of a sheet.
py::object Text(const std::string& text) {
  PyObject* value =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// What the report line calls a failed load, for Python to raise the matching exception.
const char* FailureKind(const RecoveryReport& report) {
  if (report.fileKind_ != tabulix::FileKind::Workbook) return "not-a-workbook";
  if (report.passwordProtected_) return "password-protected";
  // Nothing was read at all: the file could not be opened or read to its end.
  if (report.fileBytes_ == 0) return "unreadable";
  return "nothing-recovered";
}

// The loaded document with the lock that keeps one thread's save from running beside
// another's reading of the same document.
struct Loaded {
  XlsDocument document;
  std::mutex mutex;
  std::string input;  // the path, or the name given to bytes; empty for nameless bytes
  // Per worksheet, the name Python gives it: the file's own where it has one that no
  // earlier sheet took, as other readers of the file name it; else the saved name.
  std::vector<std::string> names;
};

// Holds `loaded`'s lock, letting other Python threads run while it waits for it.
std::unique_lock<std::mutex> LockOf(Loaded& loaded) {
  std::unique_lock lock(loaded.mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release release;
    lock.lock();
  }
  return lock;
}

// How a cell of the model becomes a Python value: what its number format makes a date, in
// the workbook's date system, and the class an error cell becomes.
struct CellValues {
  tabulix::exporting::NumberFormats formats;
  bool date1904;
  py::object errorType;  // tabulix.CellError

  // The datetime a number in a date or time format stands for, when there is one.
  std::optional<std::int64_t> DateMillis(const ExportCell& cell) const {
    if (cell.kind_ != ExportCell::Kind::Number) return std::nullopt;
    if (formats.KindOfXf(cell.xf_) == tabulix::exporting::DateKind::None) return std::nullopt;
    return SerialToUnixMillis(cell.number_, date1904);
  }

  // The value as the cell list gives it: float, str, bool, datetime or CellError.
  py::object Plain(const ExportCell& cell) const {
    switch (cell.kind_) {
      case ExportCell::Kind::Number:
        if (const auto millis = DateMillis(cell)) return DateTimeOf(*millis);
        return py::float_(cell.number_);
      case ExportCell::Kind::Text:
        return Text(cell.text_);
      case ExportCell::Kind::Boolean:
        return py::bool_(cell.boolean_);
      case ExportCell::Kind::Error:
        return errorType(Text(cell.text_));
      case ExportCell::Kind::Blank:
        break;
    }
    return py::none();
  }
};

// Whole numbers come out as int in a DataFrame, as pandas' own reader gives them.
bool IsWholeNumber(double value) {
  return std::isfinite(value) && value == std::trunc(value) && value > -9.2e18 && value < 9.2e18;
}

class Recovery {
 public:
  explicit Recovery(std::shared_ptr<Loaded> loaded, py::object errorType)
      : loaded_(std::move(loaded)), errorType_(std::move(errorType)) {}

  std::size_t SheetCount() const { return loaded_->document.report().sheets_.size(); }

  // What the report says of sheet `index`, plus the extent of its value cells.
  py::dict SheetInfo(std::size_t index) {
    const auto lock = LockOf(*loaded_);
    const RecoveryReport::Sheet& sheet = SheetAt(index);
    py::dict info;
    info["name"] = Text(index < loaded_->names.size() ? loaded_->names[index] : sheet.name_);
    info["saved_name"] = Text(sheet.name_);
    info["kind"] = std::string(tabulix::SubstreamTypeName(sheet.type_));
    info["intact"] = sheet.intact_;
    info["value_cells"] = sheet.valueCells_;
    std::uint32_t rows = 0;
    std::uint32_t columns = 0;
    if (sheet.IsWorksheet()) {
      Visit(index, [&](const ExportCell& cell) {
        if (cell.kind_ == ExportCell::Kind::Blank) return;
        rows = std::max<std::uint32_t>(rows, cell.row_ + 1u);
        columns = std::max<std::uint32_t>(columns, cell.column_ + 1u);
      });
    }
    info["nrows"] = rows;
    info["ncols"] = columns;
    return info;
  }

  // Every value cell of sheet `index` as (row, column, value), in row order.
  py::list Cells(std::size_t index) {
    const auto lock = LockOf(*loaded_);
    std::vector<std::pair<std::uint32_t, py::object>> cells;
    const CellValues values = ValuesOf();
    if (SheetAt(index).IsWorksheet()) {
      Visit(index, [&](const ExportCell& cell) {
        if (cell.kind_ == ExportCell::Kind::Blank) return;
        cells.emplace_back(std::uint32_t{cell.row_} << 8 | cell.column_, values.Plain(cell));
      });
    }
    std::stable_sort(cells.begin(), cells.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    py::list out(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
      out[i] = py::make_tuple(cells[i].first >> 8, cells[i].first & 0xFF, cells[i].second);
    }
    return out;
  }

  // The columns of a DataFrame of sheet `index`, built straight from the model: the header
  // row's values (None without a header), then per column a dtype name and its data (a
  // numpy array; of Python objects for a column of mixed values), and the data rows.
  py::tuple Columns(std::size_t index, std::optional<std::uint32_t> header);

  // Saves the recovered workbook; the reason it could not be saved, empty when it was.
  std::string Save(const std::string& path, const std::string& format) {
    const auto lock = LockOf(*loaded_);
    std::string error;
    py::gil_scoped_release release;
    XlsDocument& document = loaded_->document;
    bool saved = false;
    if (format == "xls") {
      saved = document.SaveStorageFile(path);
      error = document.saveError();
    } else if (format == "xlsx") {
      saved = tabulix::SaveXlsx(document, path, error);
    } else {
      saved = tabulix::SaveCsvFolder(document, path, error);
    }
    if (saved) return {};
    return error.empty() ? std::string("the save failed (see the error log for the step)") : error;
  }

  bool Date1904() const { return loaded_->document.workbook().date1904_.value_ != 0; }

 private:
  const RecoveryReport::Sheet& SheetAt(std::size_t index) const {
    const auto& sheets = loaded_->document.report().sheets_;
    if (index >= sheets.size()) throw py::index_error("no sheet " + std::to_string(index));
    return sheets[index];
  }

  template <typename Visitor>
  void Visit(std::size_t index, Visitor&& visit) const {
    const XlsDocument& document = loaded_->document;
    if (index >= document.worksheets().size()) return;
    tabulix::exporting::ForEachCell(document.workbook(), document.worksheets()[index], visit);
  }

  CellValues ValuesOf() const {
    return CellValues{tabulix::exporting::NumberFormats(loaded_->document.workbook()), Date1904(),
                      errorType_};
  }

  std::shared_ptr<Loaded> loaded_;
  py::object errorType_;
};

// A numpy column of `rows` entries, each `value`, to be overwritten where a cell stands.
template <class T>
py::array Filled(std::uint32_t rows, T value) {
  py::array_t<T> column(rows);
  std::fill_n(column.mutable_data(), rows, value);
  return column;
}

py::tuple Recovery::Columns(std::size_t index, std::optional<std::uint32_t> header) {
  const auto lock = LockOf(*loaded_);
  const CellValues values = ValuesOf();
  const bool worksheet = SheetAt(index).IsWorksheet();

  // First pass: the extent, and what each column holds below the header.
  struct Tally {
    std::uint32_t numbers = 0;  // not of a date format (or of one no datetime holds)
    std::uint32_t whole = 0;    // of those, whole numbers
    std::uint32_t dates = 0;
    std::uint32_t datesInNanoRange = 0;
    std::uint32_t booleans = 0;
    std::uint32_t texts = 0;
  };
  std::vector<Tally> tallies;
  std::uint32_t rows = 0;
  const std::uint32_t firstDataRow = header ? *header + 1 : 0;
  // datetime64[ns] spans 1677-09-21 to 2262-04-11: its milliseconds fit this bound.
  constexpr std::int64_t kNanoRangeMillis = std::numeric_limits<std::int64_t>::max() / 1'000'000;
  if (worksheet) {
    Visit(index, [&](const ExportCell& cell) {
      if (cell.kind_ == ExportCell::Kind::Blank) return;
      rows = std::max<std::uint32_t>(rows, cell.row_ + 1u);
      if (tallies.size() <= cell.column_) tallies.resize(cell.column_ + 1u);
      if (cell.row_ < firstDataRow) return;
      Tally& tally = tallies[cell.column_];
      switch (cell.kind_) {
        case ExportCell::Kind::Number:
          if (const auto millis = values.DateMillis(cell)) {
            ++tally.dates;
            if (*millis > -kNanoRangeMillis && *millis < kNanoRangeMillis) ++tally.datesInNanoRange;
          } else {
            ++tally.numbers;
            if (IsWholeNumber(cell.number_)) ++tally.whole;
          }
          break;
        case ExportCell::Kind::Text:
          ++tally.texts;
          break;
        case ExportCell::Kind::Boolean:
          ++tally.booleans;
          break;
        case ExportCell::Kind::Error:
        case ExportCell::Kind::Blank:
          break;
      }
    });
  }
  const std::uint32_t dataRows = rows > firstDataRow ? rows - firstDataRow : 0;

  // Each column's type, as pandas' own reader would settle it.
  enum class Type { Float, Int, Bool, DateTime, Object };
  std::vector<Type> types(tallies.size());
  for (std::size_t c = 0; c < tallies.size(); ++c) {
    const Tally& t = tallies[c];
    const std::uint32_t present = t.numbers + t.dates + t.booleans + t.texts;
    if (present == t.numbers) {
      types[c] = t.whole == present && present == dataRows && present > 0 ? Type::Int : Type::Float;
    } else if (present == t.dates && t.datesInNanoRange == present) {
      types[c] = Type::DateTime;
    } else if (present == t.booleans && present == dataRows) {
      types[c] = Type::Bool;
    } else {
      types[c] = Type::Object;
    }
  }

  // Second pass: the columns, allocated once at their final size and filled in place.
  std::vector<py::array> arrays(types.size());
  const py::object nan = py::float_(std::numeric_limits<double>::quiet_NaN());
  for (std::size_t c = 0; c < types.size(); ++c) {
    switch (types[c]) {
      case Type::Float:
        arrays[c] = Filled(dataRows, std::numeric_limits<double>::quiet_NaN());
        break;
      // Every row of these holds a cell; they start cleared all the same, so that no
      // uninitialised memory could ever reach the caller.
      case Type::Int:
        arrays[c] = Filled<std::int64_t>(dataRows, 0);
        break;
      case Type::Bool:
        arrays[c] = Filled(dataRows, false);
        break;
      case Type::DateTime:  // numpy's NaT until a date is written
        arrays[c] = Filled(dataRows, std::numeric_limits<std::int64_t>::min());
        break;
      case Type::Object: {
        // numpy makes an object array of null pointers; each gets a reference of its own.
        py::array column(py::dtype("O"), std::vector<py::ssize_t>{py::ssize_t{dataRows}});
        auto** items = static_cast<PyObject**>(column.mutable_data());
        for (std::uint32_t r = 0; r < dataRows; ++r) {
          Py_XDECREF(items[r]);
          items[r] = nan.inc_ref().ptr();
        }
        arrays[c] = column;
        break;
      }
    }
  }
  // A header's values, one per column (None where the header row holds none).
  py::list names(tallies.size());
  for (std::size_t c = 0; c < tallies.size(); ++c) names[c] = py::none();

  // The value a DataFrame holds: whole numbers as int, dates as datetime, errors as NaN.
  auto frameValue = [&](const ExportCell& cell) -> py::object {
    if (cell.kind_ == ExportCell::Kind::Error) return nan;
    if (cell.kind_ == ExportCell::Kind::Number && !values.DateMillis(cell) &&
        IsWholeNumber(cell.number_)) {
      return py::int_(static_cast<std::int64_t>(cell.number_));
    }
    return values.Plain(cell);
  };
  if (worksheet) {
    Visit(index, [&](const ExportCell& cell) {
      if (cell.kind_ == ExportCell::Kind::Blank) return;
      if (header && cell.row_ == *header) {
        if (cell.kind_ != ExportCell::Kind::Error) names[cell.column_] = frameValue(cell);
        return;
      }
      if (cell.row_ < firstDataRow) return;
      const std::uint32_t r = cell.row_ - firstDataRow;
      const std::size_t c = cell.column_;
      switch (types[c]) {
        case Type::Float:
          if (cell.kind_ == ExportCell::Kind::Number) {
            static_cast<double*>(arrays[c].mutable_data())[r] = cell.number_;
          }
          break;
        case Type::Int:
          static_cast<std::int64_t*>(arrays[c].mutable_data())[r] =
              static_cast<std::int64_t>(cell.number_);
          break;
        case Type::Bool:
          static_cast<bool*>(arrays[c].mutable_data())[r] = cell.boolean_;
          break;
        case Type::DateTime:
          if (const auto millis = values.DateMillis(cell)) {
            static_cast<std::int64_t*>(arrays[c].mutable_data())[r] = *millis * 1'000'000;
          }
          break;
        case Type::Object: {
          auto** items = static_cast<PyObject**>(arrays[c].mutable_data());
          PyObject* old = items[r];
          items[r] = frameValue(cell).release().ptr();
          Py_XDECREF(old);
          break;
        }
      }
    });
  }

  py::list columns(types.size());
  for (std::size_t c = 0; c < types.size(); ++c) {
    static constexpr const char* kNames[] = {"float64", "int64", "bool", "datetime64[ns]",
                                             "object"};
    columns[c] = py::make_tuple(kNames[static_cast<std::size_t>(types[c])], std::move(arrays[c]));
  }
  return py::make_tuple(header ? py::object(names) : py::object(py::none()), columns, dataRows);
}

// After a load: the failure kind ("" when there is a recovery), the report line as JSON
// text, and the recovery when there is one.
py::tuple Finish(std::shared_ptr<Loaded> loaded, bool ok, double seconds, py::object errorType) {
  const RecoveryReport& report = loaded->document.report();
  tabulix::ReportRequest request;
  request.command = "inspect";
  request.input = loaded->input;
  request.seconds = seconds;
  std::string failure;
  if (!ok) {
    failure = FailureKind(report);
    request.status = report.passwordProtected_ ? "password-protected" : "failed";
    request.error = tabulix::LoadFailure(report);
  } else if (report.sheets_.empty()) {
    failure = "nothing-recovered";
    request.status = "failed";
    request.error = "no worksheet could be recovered";
  } else {
    request.status = "inspected";
  }
  const std::string line =
      tabulix::ReportLine(request, report)
          .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  py::object recovery = py::none();
  if (failure.empty()) {
    std::vector<std::string> names = loaded->document.SourceSheetNames();
    std::set<std::string> taken;
    for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
      if (i >= names.size()) names.emplace_back();
      if (!names[i].empty() && taken.insert(names[i]).second) continue;
      // The saved names are unique among themselves, not among the file's own.
      names[i] = report.sheets_[i].name_;
      for (int n = 2; !taken.insert(names[i]).second; ++n) {
        names[i] = report.sheets_[i].name_ + " (" + std::to_string(n) + ")";
      }
    }
    loaded->names = std::move(names);
    recovery = py::cast(Recovery(std::move(loaded), std::move(errorType)));
  }
  return py::make_tuple(failure, line, recovery);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

PYBIND11_MODULE(_tabulix, m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  m.doc() = "The native half of tabulix; use the tabulix package instead.";
  m.attr("version") = TABULIX_VERSION;

  // A library writes no logs until asked: the command line's folders are not the caller's.
  tabulix::LogLocations quiet;
  tabulix::SetLogLocations(quiet);
  m.def(
      "set_log_folder",
      [](const std::string& folder) {
        tabulix::LogLocations locations = tabulix::CurrentLogLocations();
        locations.logFolder = folder;
        tabulix::SetLogLocations(locations);
      },
      py::arg("folder"));

  py::class_<Recovery>(m, "Recovery")
      .def("sheet_count", &Recovery::SheetCount)
      .def("sheet_info", &Recovery::SheetInfo, py::arg("index"))
      .def("cells", &Recovery::Cells, py::arg("index"))
      .def("columns", &Recovery::Columns, py::arg("index"), py::arg("header"))
      .def("save", &Recovery::Save, py::arg("path"), py::arg("format"))
      .def_property_readonly("date1904", &Recovery::Date1904);

  m.def(
      "load_path",
      [](const std::string& path, py::object errorType) {
        auto loaded = std::make_shared<Loaded>();
        loaded->input = path;
        const auto start = std::chrono::steady_clock::now();
        bool ok = false;
        {
          py::gil_scoped_release release;
          ok = loaded->document.Load(path);
        }
        return Finish(std::move(loaded), ok, SecondsSince(start), std::move(errorType));
      },
      py::arg("path"), py::arg("error_type"));

  m.def(
      "load_bytes",
      [](const py::buffer& data, const std::string& name, py::object errorType) {
        auto loaded = std::make_shared<Loaded>();
        loaded->input = name;
        // The bytes are copied while the lock is held: the caller's buffer may change once
        // other threads run.
        const py::buffer_info info = data.request();
        if (info.ndim != 1 && info.size != 0)
          throw py::value_error("expected a flat buffer of bytes");
        const auto* first = static_cast<const std::uint8_t*>(info.ptr);
        std::vector<std::uint8_t> bytes(first, first + info.size * info.itemsize);
        const auto start = std::chrono::steady_clock::now();
        bool ok = false;
        {
          py::gil_scoped_release release;
          ok = loaded->document.LoadBytes(std::move(bytes), name);
        }
        return Finish(std::move(loaded), ok, SecondsSince(start), std::move(errorType));
      },
      py::arg("data"), py::arg("name"), py::arg("error_type"));
}

#include "bench_data.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace bench {
namespace {

// splitmix64: tiny, and unlike the standard distributions it gives the same numbers with every
// standard library.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for picking text; n is small.
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool percent(unsigned p) { return below(100) < p; }
  template <std::size_t N>
  std::string_view pick(const std::array<std::string_view, N>& pool) {
    return pool[below(N)];
  }

 private:
  std::uint64_t state_;
};

constexpr std::array<std::string_view, 40> kNames = {
    "Laptop ThinkPad T14",
    "Laptop ThinkPad X1 Carbon Gen 11",
    "MacBook Pro 14\"",
    "Monitor 27\"",
    "Monitor Dell U2723QE 27\" 4K",
    "Docking station",
    "Label printer",
    "Label printer Brother P-touch",
    "Oscilloscope",
    "Oscilloscope Rigol DS1054Z",
    "Projector",
    "Router",
    "Switch 48-port PoE",
    "Coffee machine",
    "Headset Jabra Evolve2 65",
    "Webcam",
    "Kühlschrank",
    "Schreibtisch, höhenverstellbar",
    "Bürostuhl",
    "Imprimante laser couleur",
    "Téléphone de conférence",
    "Стол письменный",
    "Ноутбук",
    "会議用スピーカー",
    "ノートパソコン",
    "投影仪",
    "Multimeter Fluke 87V",
    "Soldering station",
    "3D printer <Prusa MK4>",
    "Server rack 42U",
    "UPS 1500 VA",
    "NAS Synology DS920+",
    "Whiteboard 180×120",
    "Tablet",
    "Phone",
    "Keyboard & mouse set",
    "Shredder",
    "Beamer",
    "Kaffeemaschine \"Jura\"",
    "Camera",
};

constexpr std::array<std::string_view, 32> kLocations = {
    "Zürich",
    "Zürich, Room 3.07",
    "東京",
    "東京 本社 5F",
    "Москва",
    "Москва, офис 12",
    "Berlin",
    "Berlin, Room 4.12",
    "Lyon",
    "São Paulo",
    "Kraków",
    "Reykjavík",
    "Basel, Building B",
    "München",
    "Αθήνα",
    "Québec",
    "Tel Aviv",
    "Genève",
    "Wien",
    "İstanbul",
    "Łódź",
    "Malmö",
    "Århus",
    "New York, 5th Ave",
    "London",
    "Warehouse",
    "Kitchen",
    "Lab <B2>",
    "Storage & archive",
    "서울",
    "北京",
    "Home office",
};

constexpr std::array<std::string_view, 28> kFirst = {
    "Anna",  "Jörg",  "Élodie",  "Kenji",  "Иван",     "Zoë",      "Søren",
    "José",  "Ærin",  "Łukasz",  "Ana",    "François", "Mónica",   "Björn",
    "Ayşe",  "Chloé", "Mikołaj", "Ólafur", "Dmitri",   "Yūko",     "Marta",
    "Peter", "Grace", "Ingrid",  "Rahul",  "Fatma",    "Nikolaos", "Sam",
};

constexpr std::array<std::string_view, 28> kLast = {
    "Müller", "Weiß",      "Durand",    "Sato",   "Петров",       "O'Brien", "Kierkegaard",
    "Núñez",  "Ødegård",   "Wałęsa",    "García", "Lefèvre",      "Jönsson", "Yılmaz",
    "Dubois", "Nowak",     "Óskarsson", "Smith",  "Андреев",      "田中",    "Schmidt",
    "Hopper", "Bergström", "Patel",     "Kaya",   "Παπαδόπουλος", "Becker",  "Van der Berg",
};

constexpr std::array<std::string_view, 14> kDepartments = {
    "R&D",     "Sales & Marketing", "IT <Ops>",  "Facilities",  "Finance",
    "HR",      "Legal, Compliance", "Support",   "Engineering", "Production",
    "Einkauf", "Développement",     "Логистика", "総務部",
};

constexpr std::array<std::string_view, 10> kCurrencies = {
    "CHF", "EUR", "USD", "€", "$", "¥", "£", "₽", "kr", "zł",
};

constexpr std::array<std::string_view, 24> kNoteParts = {
    "Dock & charger included",
    "Dead pixel <top left>",
    "Serial as printed",
    "Lamp replaced 2023-11-02",
    "it's the \"managed\" one",
    "Returned by contractor, checked OK",
    "Warranty until 2026; extended, see ticket #4471",
    "Battery swollen — do not charge",
    "Leihgabe an Abteilung Einkauf",
    "Prêté à l'équipe de Lyon",
    "Передан в филиал",
    "修理済み",
    "Needs calibration (±0.5 %)",
    "Asset tag missing, re-labelled",
    "Password on sticker <removed>",
    "Moved from Basel",
    "a < b && c > d",
    "Paid by project \"Atlas\", cost centre 4711",
    "Spare",
    "Keep for audit",
    "Firmware 2.3.1, config backed up",
    "📦 shipped in original box",
    "Bildschirm hat Kratzer, funktioniert einwandfrei",
    "Tab\tseparated remark",
};

std::string serial(Rng& rng, std::size_t index) {
  char buf[48];
  switch (rng.below(20)) {
    case 0:
      // Printed serials sometimes carry a backslash, which every output form has to survive.
      std::snprintf(buf, sizeof buf, "SN\\%04zu", index % 10000);
      break;
    case 1:
      std::snprintf(buf, sizeof buf, "INV/%zu/%05zu", 2015 + index % 10, index);
      break;
    case 2:
      std::snprintf(buf, sizeof buf, "№ %06zu", index);
      break;
    default:
      std::snprintf(buf, sizeof buf, "SN-%07zu", index + 1000);
      break;
  }
  return buf;
}

std::string purchased(Rng& rng) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04zu-%02zu-%02zu", 2012 + rng.below(13), 1 + rng.below(12),
                1 + rng.below(28));
  return buf;
}

std::string price(Rng& rng) {
  const std::size_t whole = 20 + rng.below(rng.percent(10) ? 50000 : 3000);
  const std::size_t cents = rng.below(100);
  char buf[48];
  const std::string_view currency = rng.pick(kCurrencies);
  if (whole < 1000 || rng.percent(50)) {
    std::snprintf(buf, sizeof buf, "%zu.%02zu %.*s", whole, cents,
                  static_cast<int>(currency.size()), currency.data());
  } else {
    // Thousands separators: the comma has to stay inside one cell.
    std::snprintf(buf, sizeof buf, "%.*s %zu,%03zu.%02zu", static_cast<int>(currency.size()),
                  currency.data(), whole / 1000, whole % 1000, cents);
  }
  return buf;
}

std::string notes(Rng& rng) {
  // Mostly short, sometimes long: the lengths real registries have.
  std::size_t parts = 1;
  const std::size_t roll = rng.below(100);
  if (roll >= 97) {
    parts = 8 + rng.below(8);
  } else if (roll >= 85) {
    parts = 3 + rng.below(3);
  } else if (roll >= 60) {
    parts = 2;
  }
  std::string out;
  for (std::size_t i = 0; i < parts; ++i) {
    if (i > 0) out += rng.percent(50) ? ", " : ". ";
    out += rng.pick(kNoteParts);
  }
  return out;
}

}  // namespace

std::vector<std::string> registry_header() {
  return {"Serial Number", "Name",      "Location", "Owner",
          "Department",    "Purchased", "Price",    "Notes"};
}

std::vector<std::vector<std::string>> registry_rows(std::size_t rows, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<std::vector<std::string>> out;
  out.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    std::vector<std::string> row;
    row.reserve(8);
    row.push_back(serial(rng, i));
    row.emplace_back(rng.pick(kNames));
    row.emplace_back(rng.pick(kLocations));
    std::string owner(rng.pick(kFirst));
    owner += ' ';
    owner += rng.pick(kLast);
    row.push_back(std::move(owner));
    // Some cells in the middle are left empty.
    row.emplace_back(rng.percent(8) ? std::string_view() : rng.pick(kDepartments));
    row.push_back(rng.percent(5) ? std::string() : purchased(rng));
    row.push_back(rng.percent(5) ? std::string() : price(rng));
    // Notes are often never filled in: such rows end early, as the sheet sends them.
    if (!rng.percent(30)) row.push_back(notes(rng));
    out.push_back(std::move(row));
  }
  return out;
}

std::vector<std::string> other_spreadsheet_titles() {
  return {"Budget 2024",
          "Budget 2023",
          "Inventory archive",
          "inventory",
          "Inventory (copy)",
          "INVENTORY 2019",
          "Onboarding checklist",
          "Travel expenses Q1",
          "Travel expenses Q2",
          "Phone list",
          "Schlüsselverwaltung",
          "Réservations salles",
          "Учёт картриджей",
          "備品管理 2022",
          "Licences & subscriptions",
          "Vendors <do not share>",
          "On-call rota",
          "Project \"Atlas\" plan",
          "Leavers, joiners",
          "Inventory old"};
}

}  // namespace bench

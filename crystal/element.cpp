#include "crystal/element.hpp"

#include <stdexcept>
#include <string>

namespace morvak::crystal {

namespace {

struct Entry {
  const char *symbol;
  double mass;
};

constexpr Entry table[Element_map::size] = {
    {"H", 1.008},      {"He", 4.002602},  {"Li", 6.94},      {"Be", 9.012183},  {"B", 10.81},
    {"C", 12.011},     {"N", 14.007},     {"O", 15.999},     {"F", 18.998404},  {"Ne", 20.1797},
    {"Na", 22.989769}, {"Mg", 24.305},    {"Al", 26.981539}, {"Si", 28.085},    {"P", 30.973763},
    {"S", 32.06},      {"Cl", 35.45},     {"Ar", 39.95},     {"K", 39.0983},    {"Ca", 40.078},
    {"Sc", 44.95591},  {"Ti", 47.867},    {"V", 50.9415},    {"Cr", 51.9961},   {"Mn", 54.93804},
    {"Fe", 55.845},    {"Co", 58.933155}, {"Ni", 58.6934},   {"Cu", 63.546},    {"Zn", 65.38},
    {"Ga", 69.723},    {"Ge", 72.63},     {"As", 74.92159},  {"Se", 78.971},    {"Br", 79.904},
    {"Kr", 83.798},    {"Rb", 85.4678},   {"Sr", 87.62},     {"Y", 88.90584},   {"Zr", 91.224},
    {"Nb", 92.90637},  {"Mo", 95.95},     {"Tc", 97},        {"Ru", 101.07},    {"Rh", 102.90549},
    {"Pd", 106.42},    {"Ag", 107.8682},  {"Cd", 112.414},   {"In", 114.818},   {"Sn", 118.71},
    {"Sb", 121.76},    {"Te", 127.6},     {"I", 126.90447},  {"Xe", 131.293},   {"Cs", 132.90546},
    {"Ba", 137.327},   {"La", 138.90547}, {"Ce", 140.116},   {"Pr", 140.90765}, {"Nd", 144.242},
    {"Pm", 145},       {"Sm", 150.36},    {"Eu", 151.964},   {"Gd", 157.25},    {"Tb", 158.92535},
    {"Dy", 162.5},     {"Ho", 164.93033}, {"Er", 167.259},   {"Tm", 168.93422}, {"Yb", 173.045},
    {"Lu", 174.9668},  {"Hf", 178.49},    {"Ta", 180.94788}, {"W", 183.84},     {"Re", 186.207},
    {"Os", 190.23},    {"Ir", 192.217},   {"Pt", 195.084},   {"Au", 196.96657}, {"Hg", 200.592},
    {"Tl", 204.38},    {"Pb", 207.2},     {"Bi", 208.9804},  {"Po", 209},       {"At", 210},
    {"Rn", 222},       {"Fr", 223},       {"Ra", 226},       {"Ac", 227},       {"Th", 232.0377},
    {"Pa", 231.03587}, {"U", 238.02892},  {"Np", 237},       {"Pu", 244},       {"Am", 243},
    {"Cm", 247},       {"Bk", 247},       {"Cf", 251},       {"Es", 252},       {"Fm", 257},
    {"Md", 258},       {"No", 259},       {"Lr", 266},       {"Rf", 267},       {"Db", 268},
    {"Sg", 269},       {"Bh", 270},       {"Hs", 269},       {"Mt", 278},       {"Ds", 281},
    {"Rg", 282},       {"Cn", 285},       {"Nh", 286},       {"Fl", 289},       {"Mc", 290},
    {"Lv", 293},       {"Ts", 294},       {"Og", 294},
};

} // namespace

void Element_map::initialize() {
  for (int i = 0; i < size; ++i)
    elements[i] = Element{i + 1, table[i].mass, Symbol(table[i].symbol)};
}

std::int32_t Element_map::get_element_number(std::string_view symbol) const {
  for (int i = 0; i < size; ++i)
    if (blank_padded_equal(elements[i].symbol.view(), symbol))
      return i + 1;
  return 0;
}

Symbol Element_map::get_element_symbol(std::int32_t number) const {
  if (number < 1 || number > size)
    throw std::out_of_range("atomic number " + std::to_string(number) +
                            " is outside the element table (1 to 118)");
  return elements[number - 1].symbol;
}

} // namespace morvak::crystal

#include "core/profiles/apodization.hpp"

#include <string>

#include "core/base/format.hpp"
#include "core/base/overloaded.hpp"

namespace spanlet {

namespace {

struct NamedApodization {
    std::string_view name;
    Apodization apodization;
};

// Cosine-sum windows (Hann, Hamming, Blackman, 4-term Blackman-Harris) and the Norton-Beer
// polynomial windows as published.
const NamedApodization NAMED[] = {
    {"none", CosineSum{1, 0, 0, 0}},
    {"boxcar", CosineSum{1, 0, 0, 0}},
    {"hann", CosineSum{0.5, 0.5, 0, 0}},
    {"hanning", CosineSum{0.5, 0.5, 0, 0}},
    {"hamming", CosineSum{0.54, 0.46, 0, 0}},
    {"happ_genzel", CosineSum{0.54, 0.46, 0, 0}},
    {"blackman", CosineSum{0.42, 0.5, 0.08, 0}},
    {"blackman_harris", CosineSum{0.35875, 0.48829, 0.14128, 0.01168}},
    {"triangle", Triangle{}},
    {"norton_beer_weak", Polynomial{{0.384093, -0.087577, 0.703484, 0, 0}}},
    {"norton_beer_medium", Polynomial{{0.152442, -0.136176, 0.983734, 0, 0}}},
    {"norton_beer_strong", Polynomial{{0.045335, 0, 0.554883, 0, 0.399782}}},
};

}  // namespace

std::string debug(const Apodization& apodization) {
    return std::visit(Overloaded{
                          [](const CosineSum& a) {
                              return StructuralWriter("CosineSum")
                                  .field("a0", a.a0)
                                  .field("a1", a.a1)
                                  .field("a2", a.a2)
                                  .field("a3", a.a3)
                                  .finish();
                          },
                          [](const Triangle&) { return StructuralWriter("Triangle").finish(); },
                          [](const Polynomial& a) {
                              std::string list = "[";
                              for (std::size_t i = 0; i < a.c.size(); ++i) {
                                  if (i) list += ", ";
                                  list += structural(a.c[i]);
                              }
                              list += "]";
                              return StructuralWriter("Polynomial").field("c", list).finish();
                          },
                      },
                      apodization);
}

Result<Apodization> named_apodization(std::string_view name) {
    for (const NamedApodization& entry : NAMED)
        if (entry.name == name) return entry.apodization;
    return Error::invalid("unknown apodization " + quoted(name));
}

Result<Apodization> choose_apodization(const std::optional<std::string_view>& name,
                                       const std::optional<std::vector<double>>& cosine_sum,
                                       const std::optional<std::vector<double>>& polynomial) {
    if (name) {
        if (!cosine_sum && !polynomial) return named_apodization(*name);
    } else if (polynomial && !cosine_sum) {
        if (!polynomial->empty() && polynomial->size() <= 5) {
            Polynomial p{{0, 0, 0, 0, 0}};
            for (std::size_t n = 0; n < polynomial->size(); ++n) p.c[n] = (*polynomial)[n];
            return Apodization{p};
        }
    } else if (cosine_sum && !polynomial) {
        if (!cosine_sum->empty() && cosine_sum->size() <= 4) {
            double a[4] = {0, 0, 0, 0};
            for (std::size_t n = 0; n < cosine_sum->size(); ++n) a[n] = (*cosine_sum)[n];
            return Apodization{CosineSum{a[0], a[1], a[2], a[3]}};
        }
    }
    return Error::invalid(
        "give one of apodization (a name), cosine_sum (1-4 coefficients) or polynomial (1-5 coefficients)");
}

}  // namespace spanlet

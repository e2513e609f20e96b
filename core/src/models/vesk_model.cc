#include "models/vesk_model.h"

namespace vesk {

std::optional<VeskModel> vesk_model_from_id(std::string_view id) {
  if (id == "vesk-minilm") return VeskModel::MiniLm;
  if (id == "vesk-mediumlm") return VeskModel::MediumLm;
  return std::nullopt;
}

std::string_view vesk_model_id(VeskModel model) {
  return model == VeskModel::MiniLm ? "vesk-minilm" : "vesk-mediumlm";
}

uint64_t vesk_model_dimension(VeskModel model) { return model == VeskModel::MiniLm ? 384 : 1024; }

}  // namespace vesk

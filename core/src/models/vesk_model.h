// The two embedding models an index can be made for, the model reference
// record and the version text every new index and model reference carries.
//
// Thread safety: constants and plain values.
#ifndef VESK_CORE_MODELS_VESK_MODEL_H_
#define VESK_CORE_MODELS_VESK_MODEL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

inline constexpr std::string_view DEFAULT_VERSION = "0.2.3";

enum class VeskModel : unsigned char { MiniLm = 0, MediumLm = 1 };

// "vesk-minilm" -> MiniLm, "vesk-mediumlm" -> MediumLm, compared byte for
// byte; any other text gives std::nullopt.
std::optional<VeskModel> vesk_model_from_id(std::string_view id);
std::string_view vesk_model_id(VeskModel model);
uint64_t vesk_model_dimension(VeskModel model);  // 384 or 1024

struct ModelRef {
  std::string id;
  std::string version;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_VESK_MODEL_H_

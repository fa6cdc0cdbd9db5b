// The partial result of one shard of images: what accumulation reads of the
// shard's matches, in columns. Per (category slot, image) pair that has
// ground truth or detections: the image, the number of ranked detections and,
// per area range, the number of non-ignored ground truths; per ranked
// detection its score and, per area range and threshold, its status. Partials
// of disjoint shards merge into exactly the arrays of one run over all images.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/evaluator_core.hpp"
#include "core/eval/params.hpp"

namespace brandor::eval {

struct PartialRecord {
    // The shard's parameters; img_ids are the shard's images, strictly ascending.
    EvalParams params;
    // Pairs per category slot (K entries); the pairs of a slot follow one
    // another, slot by slot, each slot's in ascending image position.
    std::vector<std::uint32_t> slot_pairs;
    std::vector<std::uint32_t> image;  // per pair: position in params.img_ids
    std::vector<std::uint32_t> dets;   // per pair: ranked detections D
    std::vector<std::uint32_t> npig;   // per pair x area range: non-ignored ground truths
    std::vector<double> scores;        // per pair, D scores in rank order
    // Per pair, per area range, D x T DetectionStatus bytes (detection-major).
    std::vector<std::uint8_t> status;
    // Bytes the caller keeps with the partial (the Python layer's labels and counts).
    std::vector<std::uint8_t> meta;

    std::size_t pairs() const { return image.size(); }
};

// Matches every pair of every category slot at every area range and keeps
// what accumulation reads. One pool task per slot; the slots' columns are
// joined in slot order, so the record does not depend on the number of threads.
PartialRecord build_partial(const EvaluatorCore& core);

}  // namespace brandor::eval

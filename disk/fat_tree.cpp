#include "disk/fat_tree.hpp"

#include <algorithm>

namespace blankimg {

tree_walk start_tree_walk(fat_access &volume, std::string_view prefix,
                          std::span<std::uint8_t> entered) {
  tree_walk walk{};
  walk.entered = entered;
  std::ranges::fill(entered, std::uint8_t{0});
  walk.volume = &volume;
  walk.depth = 1;
  walk.frames[0] = {.cursor = start_of_directory(volume.layout, 0),
                    .path_length = prefix.size(),
                    .date = 0,
                    .time = 0,
                    .attributes = directory_attribute};
  std::ranges::copy(prefix, walk.path.begin());
  walk.prefix_length = prefix.size();
  walk.path_length = prefix.size();
  const fat_layout &layout = volume.layout;
  walk.items_left =
      std::uint64_t{layout.clusters} * (layout.cluster_bytes / 32) + layout.root_entries;
  return walk;
}

std::string_view volume_path(const tree_walk &walk) {
  return {walk.path.data() + walk.prefix_length, walk.path_length - walk.prefix_length};
}

namespace {

bool is_ancestor(const tree_walk &walk, std::uint32_t cluster) {
  return std::any_of(walk.frames.begin(),
                     walk.frames.begin() + static_cast<std::ptrdiff_t>(walk.depth),
                     [cluster](const tree_frame &frame) {
                       return frame.cursor.first_cluster == cluster;
                     }) ||
         cluster == walk.volume->layout.root_cluster;
}

}  // namespace

tree_step next_in_tree(tree_walk &walk, directory_item &item) {
  tree_frame &frame = walk.frames[walk.depth - 1];
  walk.path_length = frame.path_length;
  const directory_step step = next_item(*walk.volume, frame.cursor, item);
  if (step == directory_step::end) {
    if (--walk.depth == 0)
      return tree_step::end;
    return tree_step::left_directory;
  }
  if (step != directory_step::item) {
    walk.damage = tree_damage::broken_chain;
    return step == directory_step::failed ? tree_step::failed : tree_step::damaged;
  }
  if (walk.items_left-- == 0) {
    walk.damage = tree_damage::too_many;
    return tree_step::damaged;
  }
  const std::string_view name = name_of(item);
  const bool nested = walk.path_length > walk.prefix_length;
  if (walk.path_length + name.size() + 2 > walk.path.size())
    return tree_step::too_deep;
  if (nested || walk.prefix_length > 0)
    walk.path[walk.path_length++] = '/';
  std::ranges::copy(name, walk.path.begin() + static_cast<std::ptrdiff_t>(walk.path_length));
  walk.path_length += name.size();
  walk.path[walk.path_length] = '\0';
  if ((item.attributes & directory_attribute) == 0)
    return tree_step::item;
  if (!is_data_cluster(walk.volume->layout, item.first_cluster)) {
    walk.damage = tree_damage::outside;
    return tree_step::damaged;
  }
  if (is_ancestor(walk, item.first_cluster)) {
    walk.damage = tree_damage::holds_itself;
    return tree_step::damaged;
  }
  if (!walk.entered.empty()) {
    std::uint8_t &bits = walk.entered[item.first_cluster / 8];
    const auto bit = static_cast<std::uint8_t>(1U << (item.first_cluster % 8));
    if ((bits & bit) != 0) {
      walk.damage = tree_damage::shared;
      return tree_step::damaged;
    }
    bits = static_cast<std::uint8_t>(bits | bit);
  }
  if (walk.depth > most_tree_depth)
    return tree_step::too_deep;
  walk.frames[walk.depth++] = {
      .cursor = start_of_directory(walk.volume->layout, item.first_cluster),
      .path_length = walk.path_length,
      .date = item.date,
      .time = item.time,
      .attributes = item.attributes};
  return tree_step::item;
}

const char *damage_text(tree_damage damage) {
  switch (damage) {
  case tree_damage::broken_chain:
    return "a directory's chain is broken";
  case tree_damage::too_many:
    return "more entries than the volume can hold: directories share clusters";
  case tree_damage::outside:
    return "a directory starts outside the volume";
  case tree_damage::holds_itself:
    return "a directory holds itself";
  case tree_damage::shared:
    return "two directories start at one cluster";
  }
  return "";
}

void leave_directory(tree_walk &walk) {
  if (walk.depth > 0)
    --walk.depth;
}

}  // namespace blankimg

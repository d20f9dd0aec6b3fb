// A walk over a FAT volume's tree, a directory before what it holds, with
// each item's path kept from the root: bounded by depth, by the entries the
// volume can hold, and by directories that hold one of their own
// ancestors, so that no volume, however damaged, makes it loop. Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "disk/fat_directory.hpp"

namespace blankimg {

// A tree deeper than this is refused, on the way in and out.
inline constexpr std::size_t most_tree_depth = 32;
inline constexpr std::size_t most_path_bytes = 4096;

struct tree_frame {
  directory_cursor cursor;
  std::size_t path_length;  // of the directory's path, prefix included
  std::uint16_t date;
  std::uint16_t time;
  std::uint8_t attributes;
};

// Why a walk met damage.
enum class tree_damage : std::uint8_t {
  broken_chain,  // a directory's chain leaves the volume, loops or is cut
  too_many,      // more items than the volume can hold: directories share clusters
  outside,       // a directory starts outside the volume
  holds_itself,  // a directory holds itself or an ancestor
  shared,        // a directory starts where one walked already does
};

struct tree_walk {
  fat_access *volume;
  tree_damage damage;  // where the last step was damaged
  std::array<tree_frame, most_tree_depth + 1> frames;
  std::size_t depth;  // frames in use
  std::array<char, most_path_bytes> path;
  std::size_t prefix_length;  // before the volume's paths, such as a directory to write into
  std::size_t path_length;
  std::uint64_t items_left;
  // A bit for each cluster: the directories entered so far, so that none is
  // walked twice; or empty.
  std::span<std::uint8_t> entered;
};

enum class tree_step : std::uint8_t {
  item,            // the next item, its path in the walk's; a directory is entered
  left_directory,  // a directory's items are done; its path is the walk's up to its frame's
  end,
  damaged,   // damage says why; an item that cannot be entered is passed over
  failed,    // a sector could not be read
  too_deep,  // past most_tree_depth, or a path past most_path_bytes
};

// entered, where given, is a bit for each of the volume's clusters
// (cluster_map_bytes of them), for a walk that enters no directory twice.
[[nodiscard]] tree_walk start_tree_walk(fat_access &volume, std::string_view prefix,
                                        std::span<std::uint8_t> entered = {});

// The path of the last item, from the volume's root.
[[nodiscard]] std::string_view volume_path(const tree_walk &walk);

[[nodiscard]] tree_step next_in_tree(tree_walk &walk, directory_item &item);

// The damage in words, for a message.
[[nodiscard]] const char *damage_text(tree_damage damage);

// Leaves the directory being walked, as a damaged one is left.
void leave_directory(tree_walk &walk);

}  // namespace blankimg

#pragma once
// Where a poll finds what it reads in the profile and post-list answers.

namespace vigilo {

inline constexpr const char* kNicknamePath = "['user_info'].nickname";
inline constexpr const char* kFollowerPath = "['user_info']['follower_count']";
inline constexpr const char* kPostCountPath = "['user_info']['aweme_count']";
inline constexpr const char* kShortIdPath = "['user_info']['short_id']";
inline constexpr const char* kNewestIdPath = "['aweme_list'][0]['aweme_id']";
inline constexpr const char* kNewestDescPath = "['aweme_list'][0].desc";
inline constexpr const char* kPlayAddressPath = "['aweme_list'][0].video['play_addr_lowbr']['url_list'][3]";

}  // namespace vigilo

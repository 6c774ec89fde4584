#pragma once
// Where the works answers hold what the monitor reads.

namespace vigilo {

inline constexpr const char* kNicknamePath = "['user_info'].nickname";
inline constexpr const char* kFollowerPath = "['user_info']['follower_count']";
inline constexpr const char* kPostCountPath = "['user_info']['aweme_count']";
inline constexpr const char* kShortIdPath = "['user_info']['short_id']";
inline constexpr const char* kPostListPath = "['aweme_list']";
// Below one item of the post list.
inline constexpr const char* kItemIdPath = "['aweme_id']";
inline constexpr const char* kItemDescPath = ".desc";
inline constexpr const char* kItemLowbrPath = ".video['play_addr_lowbr']['url_list']";
inline constexpr const char* kItemPlayPath = ".video['play_addr']['url_list']";
inline constexpr const char* kItemDownloadPath = ".video['download_addr']['url_list']";
inline constexpr const char* kItemCoverPath = ".video['cover']['url_list']";
inline constexpr const char* kItemCreateTimePath = "['create_time']";
inline constexpr const char* kItemStatisticsPath = "['statistics']";
inline constexpr const char* kItemAuthorUidPath = "['author']['uid']";
inline constexpr const char* kItemAuthorSecUidPath = "['author']['sec_uid']";
inline constexpr const char* kItemAuthorNicknamePath = "['author']['nickname']";

}  // namespace vigilo

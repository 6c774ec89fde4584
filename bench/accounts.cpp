#include "accounts.h"

#include <cstdio>

namespace vigilo::bench {
namespace {

const char* const kNicknames[] = {"小熊看世界🐻",    "山城美食记", "Lena的日常✨", "阿杰爱钓鱼🎣",
                                  "一只会跳舞的猫", "旅行日记🌍",  "老王修车铺",  "晚风吹过的街角🌙"};

const char* const kDescriptions[] = {
    "今天的晚霞太好看了🌇 在江边坐了一个小时，风很温柔，看着太阳一点点沉下去。\n"
    "你们那边今天的天空是什么颜色的？评论区告诉我吧～ #日落 #治愈系 #城市风景 #随手拍",
    "第一次做红烧肉，成功了吗？😂 五花肉先焯水，再炒糖色，加生抽老抽料酒，小火炖四十分钟。\n"
    "家里人都说好吃，下次试试加鹌鹑蛋！#美食 #家常菜 #红烧肉 #厨房小白",
    "周末去爬山⛰️ "
    "累但是值得，山顶的云海真的太震撼了，拍照完全拍不出现场的感觉。\n"
    "路线：南门上，北门下，全程大约五个小时，记得带够水🚰 #户外 #周末去哪儿 #登山",
    "小猫又在键盘上睡着了🐱 每次我要工作它就过来躺在键盘上，这是不是在提醒我该休息了？\n"
    "#萌宠 #猫咪的日常 #铲屎官",
    "一分钟学会折纸鹤🕊️ 第一步对折成三角形，第二步再对折，第三步打开压平……\n"
    "看完记得点赞收藏，下期教大家折玫瑰花🌹 #手工 #教程 #折纸 #亲子时光",
};

std::string digits(unsigned long long seed, int count) {
    std::string out;
    unsigned long long x = seed * 6364136223846793005ull + 1442695040888963407ull;
    for (int i = 0; i < count; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        out += static_cast<char>('0' + (x >> 33) % 10);
    }
    if (out[0] == '0') out[0] = '7';
    return out;
}

}  // namespace

sim::Account makeAccount(int index, int posts) {
    sim::Account account;
    const auto seed = static_cast<unsigned long long>(index) + 1;
    account.uid = digits(seed, 11);
    char sec[96];
    std::snprintf(sec, sizeof sec, "MS4wLjABAAAA%08dbenchQ9x2Lr7kTzW4sVn0pHc3mYdEfGhJkLmNoPqRsTuV", index);
    account.secUid = sec;
    account.shortId = digits(seed * 7, 9);
    account.uniqueId = index % 3 == 0 ? "" : "user" + std::to_string(index);
    account.nickname = std::string(kNicknames[index % 8]) + std::to_string(index);
    account.signature = "记录生活里的小美好✨\n商务合作请私信\n每周三、周六更新";
    account.followerCount = 1000 + static_cast<long long>(index) * 37 % 500000;
    for (int i = 0; i < posts; ++i) {
        sim::Post post;
        post.awemeId = "69" + digits(seed * 131 + static_cast<unsigned long long>(i), 17);
        post.desc = kDescriptions[(index + i) % 5];
        post.videoBytes = "";
        account.posts.push_back(post);
    }
    return account;
}

}  // namespace vigilo::bench

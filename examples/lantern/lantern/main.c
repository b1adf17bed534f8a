// The lantern festival: a short visual novel. A title screen of sprite
// buttons with hit areas that light up under the pointer, a settings screen
// that keeps the volume in the configuration file, a message window that
// types its text out (on a script thread of its own), Enter or a click to go
// on, Ctrl held to skip, one choice with two branches, music, a click and a
// voice line, a mosaic scene transition, and an ending in a script of its
// own (ending.c, run with call). Escape in the story saves the place and
// quits; "Continue" on the title picks it up again.
//
// The pictures and the voice are in data.bin; the music (a MIDI file, and
// the same tune as an Ogg stream) and the click are loose files beside it.
// The save file is in the documents folder.
#include "keva.h"

#define W 1280
#define H 720

// Planes
#define VIEW 0
#define BG 1       // the scene with the heroine, screen-sized
#define PICTURE 2  // a loaded background, 320 x 180
#define HANA 3     // the heroine, 64 x 128 with alpha
#define TEXT 4     // the current line: Japanese above, English below
#define NAME 5     // the speaker's name
#define LABEL 6    // 6 to 9: labels of the buttons on screen
#define SHADE 13   // one pixel, stretched and blended for translucent bars
#define BUTTONS 14 // faces of the title's buttons

// Blit modes
#define COPY 0
#define BLEND 3
#define ALPHA 7

// Sound slots
#define MUSIC 0
#define CLICK 1
#define VOICE 2

// Font slots
#define FONT_LINE 1   // Mincho 32: the Japanese line
#define FONT_SMALL 2  // Gothic 24: the English line, names
#define FONT_TITLE 3  // Mincho 96: the title
#define FONT_BUTTON 4 // Gothic 26: button labels

// Colour word of anti-aliased text: white (entry 0xFF), coverage as alpha.
#define INK 0x800000FF

// The story: one entry per step.
#define SAY 0     // a line (who, Japanese, English)
#define CHOICE 1  // two labels; the branches start at arg and arg2
#define JUMP 2    // go on at arg
#define SCENE 3   // change the background to picture arg
#define VOICE_SAY 4  // a line spoken aloud
#define END 5

#define RIVER 0
#define DAWN 1

#define STEPS 16
int op[STEPS] = {SCENE, SAY, SAY, SAY, SAY, SAY, CHOICE, SAY, SAY, JUMP, SAY, SAY, VOICE_SAY, SCENE, SAY, END};
int arg[STEPS] = {RIVER, 0, 0, 0, 0, 0, 7, 0, 0, 12, 0, 0, 0, DAWN, 0, 0};
int arg2[STEPS] = {0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
int who[STEPS] = {0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0};
char *jp[STEPS] = {
    "", "川辺に灯籠がゆれている。", "来てくれたんだね。", "今夜は灯籠流しの夜だよ。",
    "彼女は小さな灯籠を両手で持っている。", "ねえ、どっちに行こうか。", "川下へ灯籠を追う",
    "二人で川沿いを歩いた。", "光が海まで届くといいな。", "", "橋の上から、流れる光を見送った。",
    "ここからだと全部見えるね。", "ありがとう。また来年も一緒にね。", "",
    "夜が明けて、川は静かに光っていた。", ""};
char *en[STEPS] = {
    "", "Lanterns sway along the riverbank.", "You came after all.",
    "Tonight we float the lanterns down the river.", "She holds a small lantern in both hands.",
    "So, which way shall we go?", "Follow the lanterns downstream", "We walked together along the water.",
    "I hope the light reaches the sea.", "", "From the bridge we watched the lights drift away.",
    "You can see them all from up here.", "Thank you. Let's come again next year.", "",
    "Dawn came, and the river shone quietly.", ""};
// The second choice's label.
char *jp_b = "橋の上で見送る";
char *en_b = "Watch them from the bridge";
char *names[2] = {"", "花  Hana"};
char *pictures[2] = {"data\\river.bmp", "data\\dawn.bmp"};

struct Params {
  char mode;
  char mask;
  char level;
  char amount;
  int key;
  int tint;
};
struct Params params;

// A sprite and a hit area, as sp_set and hit_set make them.
struct Sprite {
  unsigned char state, layer;
  unsigned short flags;
  char mirror_x, mirror_y, bits, unused;
  int priority, plane, x, y, pivot_x, pivot_y, scale_x, scale_y, drawn_scale_x, drawn_scale_y;
  short angle, drawn_angle;
  int source[4];
  char params[12];
  int bounds[4];
  int dest[4];
  int child_count;
  int *children;
  struct Sprite *parent, *previous, *next;
  int hit_areas, cover, unused2;
};

struct Area {
  int group, mask;
  int rect[4];
  struct Sprite *sprite;
  int value;
  int previous, next, next_of_sprite;
};

#define CHANGED 1  // sprite flag: redraw it

int rect[4];
int changed[4];
int font[12];
int point[4];
char keys[256];

// The save: magic, step, scene; step 0 means no game to continue.
#define MAGIC 0x4E544E4C
int save[4];
char save_path[300];

int volume;
int scene = -1;

// The typewriter, run by the thread: the line is `width` pixels (Japanese
// then English); the thread has uncovered `typed` of them, and the player
// can have the whole line at once (`whole`). Only the thread writes
// `typed`, only the story writes `whole`, so neither undoes the other.
int jp_width, en_width, width, typed, whole;
int typing;
int line_on_screen = -1;
int frames;

// Shows the page (or a rectangle of it) and counts the frames drawn.
int show() {
  frames++;
  return update(0);
}

int show_rect(int *r) {
  frames++;
  return update(r);
}

struct Params *blit_mode(int mode, int level) {
  params.mode = mode;
  params.mask = 0;
  params.level = level;
  params.amount = 0;
  params.key = 0;
  params.tint = 0;
  return &params;
}

// A rectangle as planes take it: left, top, right, bottom.
int *box(int left, int top, int w, int h) {
  rect[0] = left;
  rect[1] = top;
  rect[2] = left + w;
  rect[3] = top + h;
  return rect;
}

int set_font(int slot, char *face, int size) {
  font_get(0, font);
  strcpy(font, face);
  font[8] = size;
  font[10] = 16;  // anti-aliased
  return font_set(slot, font);
}

// Text in a fixed-pitch face is half its size wide per byte of Shift_JIS.
int text_width(char *s, int size) { return strlen(s) * size / 2; }

// A transparent plane holding one piece of text, centred when w is given.
int label(int plane, int w, int h, int slot, int size, char *s) {
  int x;
  galloc(plane, w, h, 32);
  gclear(plane, 0, 0);
  font_use(slot);
  x = (w - text_width(s, size)) / 2;
  if (x < 0) x = 0;
  return gtext(plane, x, (h - size) / 2, INK, s);
}

int inside(int x, int y, int w, int h) {
  return point[0] >= x && point[0] < x + w && point[1] >= y && point[1] < y + h;
}

int click() {
  snd_stop(CLICK);
  return snd_play(CLICK, 0);
}

int set_volume(int v) {
  if (v < 0) v = 0;
  if (v > 100) v = 100;
  volume = v;
  snd_setvol(MUSIC, v);
  midi_setvol(v);
  snd_setvol(CLICK, v);
  snd_setvol(VOICE, v);
  return v;
}

// A translucent bar: a colour blended over the page. (A fill with alpha
// would leave that alpha in the page, and the page is shown opaque.)
int shade(int x, int y, int w, int h, int colour, int level) {
  gfill(SHADE, 0, 0, 1, 1, 0xFF000000 | colour);
  return gblit(VIEW, box(x, y, w, h), SHADE, 0, blit_mode(BLEND, level), 0);
}

// A button: a translucent bar, brighter under the pointer, with its label.
int button(int plane, int x, int y, int w, int h, int hover) {
  shade(x, y, w, h, hover ? 0xE09040 : 0x182040, hover ? 0xD0 : 0x90);
  gfill(VIEW, x, y + h - 3, w, 3, hover ? 0xFFFFE0A0 : 0xFF6070A0);
  return gcopy(VIEW, x, y, plane, 0, blit_mode(ALPHA, 255));
}

// The typewriter: a thread that uncovers the line at one pixel a
// millisecond, on the clock, until it is all shown.
int typewriter(int unused) {
  while (1) {
    if (typing) {
      typed = getcount(1);
      if (typed >= width) {
        typed = width;
        typing = 0;
      }
    }
    sleep(10);
  }
  return 0;
}

// A background picture scaled to the screen, the heroine in front.
int set_scene(int picture) {
  scene = picture;
  gload(PICTURE, pictures[picture]);
  gblit(BG, box(0, 0, W, H), PICTURE, 0, blit_mode(COPY, 0), 0);
  if (picture == RIVER) gblit(BG, box(820, 150, 192, 384), HANA, 0, blit_mode(ALPHA, 255), 0);
  return 1;
}

int begin_line(int s) {
  line_on_screen = s;
  font_use(FONT_LINE);
  gclear(TEXT, 0, 0);
  gtext(TEXT, 0, 0, INK, jp[s]);
  font_use(FONT_SMALL);
  gtext(TEXT, 0, 52, INK, en[s]);
  gclear(NAME, 0, 0);
  if (who[s]) gtext(NAME, 0, 4, INK, names[who[s]]);
  jp_width = text_width(jp[s], 32);
  en_width = text_width(en[s], 24);
  width = jp_width + en_width;
  whole = 0;
  typed = 0;
  setcount(1, 0);
  typing = 1;
  return 1;
}

// How much of the line is on screen, in pixels.
int shown() {
  if (whole || typed >= width) return width;
  return typed;
}

int draw_story(int with_window) {
  int a, b, visible;
  gcopy(VIEW, 0, 0, BG, 0, 0);
  if (!with_window) return 1;
  shade(40, 500, W - 80, 190, 0x101830, 0xB0);
  gfill(VIEW, 40, 500, W - 80, 2, 0xFFE0A050);
  gcopy(VIEW, 80, 462, NAME, 0, blit_mode(ALPHA, 255));
  visible = shown();
  a = visible < jp_width ? visible : jp_width;
  b = visible - jp_width;
  if (b < 0) b = 0;
  if (a > 0) gcopy(VIEW, 80, 540, TEXT, box(0, 0, a, 48), blit_mode(ALPHA, 255));
  if (b > 0) gcopy(VIEW, 80, 592, TEXT, box(0, 52, b, 40), blit_mode(ALPHA, 255));
  if (visible >= width) gfill(VIEW, W - 90, 660, 14, 14, 0xFFE0A050);  // the line is complete
  return 1;
}

// The last frame breaks up into ever coarser blocks (a mosaic of the page
// in place), then the next scene comes in as a mosaic that sharpens; every
// frame depends only on its number.
int transition(int picture) {
  int f;
  for (f = 1; f <= 16; f++) {
    mosaic(VIEW, 0, 0, VIEW, 0, f * 2, f * 2);
    show();
    sleep(16);
  }
  set_scene(picture);
  for (f = 16; f >= 1; f--) {
    mosaic(VIEW, 0, 0, BG, 0, f * 2, f * 2);
    show();
    sleep(16);
  }
  return 1;
}

int write_save(int s) {
  save[0] = MAGIC;
  save[1] = s;
  save[2] = scene;
  return sysio(1);
}

// Waits for one of two choices; returns 0 or 1, or -1 for Escape.
int choose(int s) {
  int hover, drawn, c;
  label(LABEL, 640, 60, FONT_BUTTON, 26, jp[s]);
  label(LABEL + 1, 640, 60, FONT_BUTTON, 26, jp_b);
  label(LABEL + 2, 640, 40, FONT_SMALL, 24, en[s]);
  label(LABEL + 3, 640, 40, FONT_SMALL, 24, en_b);
  drawn = -2;
  while (1) {
    getpoint(point);
    hover = inside(320, 220, 640, 100) ? 0 : inside(320, 360, 640, 100) ? 1 : -1;
    c = key_get();
    if (c == '1' || (hover == 0 && (point[3] & 0x10000))) return 0;
    if (c == '2' || (hover == 1 && (point[3] & 0x10000))) return 1;
    if (c == 27) return -1;
    if (hover != drawn) {
      draw_story(1);
      button(LABEL, 320, 220, 640, 100, hover == 0);
      gcopy(VIEW, 320, 276, LABEL + 2, 0, blit_mode(ALPHA, 255));
      button(LABEL + 1, 320, 360, 640, 100, hover == 1);
      gcopy(VIEW, 320, 416, LABEL + 3, 0, blit_mode(ALPHA, 255));
      show();
      drawn = hover;
    }
    sleep(16);
  }
  return -1;
}

// Plays the story from step s; returns 0 at the end, 1 after Escape.
int play(int s) {
  int c, drawn, skip_wait, pick;
  while (1) {
    if (op[s] == SCENE) {
      if (scene < 0) {
        set_scene(arg[s]);
      } else {
        transition(arg[s]);
      }
      s++;
      continue;
    }
    if (op[s] == JUMP) {
      s = arg[s];
      continue;
    }
    if (op[s] == END) return 0;
    if (op[s] == CHOICE) {
      if (line_on_screen != s - 1) begin_line(s - 1);  // the question stays in the window
      whole = 1;
      pick = choose(s);
      if (pick < 0) {
        write_save(s);
        return 1;
      }
      click();
      log_out("choice: %s", pick ? en_b : en[s]);
      s = pick ? arg2[s] : arg[s];
      continue;
    }
    begin_line(s);
    if (op[s] == VOICE_SAY) {
      snd_stop(VOICE);
      snd_play(VOICE, 0);
    }
    drawn = -1;
    skip_wait = 0;
    while (1) {
      getpoint(point);
      getkey(keys);
      c = key_get();
      if (c == 27) {  // the line is left whole on the screen
        whole = 1;
        draw_story(1);
        show();
        write_save(s);
        return 1;
      }
      if (keys[0x11] & 0x80) {  // Ctrl held: skip, up to the next choice
        whole = 1;
        if (++skip_wait >= 4) break;
      } else if (c == 13 || c == ' ' || (point[3] & 0x10000)) {
        if (shown() < width) {
          whole = 1;
        } else {
          break;
        }
      }
      if (shown() != drawn) {
        draw_story(1);
        show();
        drawn = shown();
      }
      sleep(16);
    }
    s++;
  }
  return 0;
}

int settings() {
  int hover, drawn, shown_volume, done;
  label(LABEL, 120, 64, FONT_BUTTON, 26, "－");
  label(LABEL + 1, 120, 64, FONT_BUTTON, 26, "＋");
  label(LABEL + 2, 320, 64, FONT_BUTTON, 26, "戻る  Back");
  galloc(LABEL + 3, 640, 48, 32);
  drawn = -2;
  shown_volume = -1;
  done = 0;
  while (!done) {
    getpoint(point);
    hover = inside(400, 360, 120, 64) ? 0 : inside(760, 360, 120, 64) ? 1 : inside(480, 480, 320, 64) ? 2 : -1;
    if (point[3] & 0x10000) {
      if (hover == 0) set_volume(volume - 10);
      if (hover == 1) set_volume(volume + 10);
      if (hover == 2) done = 1;
      if (hover >= 0) click();
    }
    if (key_get() == 27) done = 1;
    if (volume != shown_volume) {
      gclear(LABEL + 3, 0, 0);
      font_use(FONT_BUTTON);
      gtextf(LABEL + 3, 0, 8, INK, "音量  Volume: %d", volume);
      shown_volume = volume;
      drawn = -2;
    }
    if (hover != drawn) {
      gcopy(VIEW, 0, 0, BG, 0, 0);
      shade(320, 200, 640, 400, 0x101830, 0xC0);
      gcopy(VIEW, 400, 240, LABEL + 3, 0, blit_mode(ALPHA, 255));
      gfill(VIEW, 400, 300, 480, 12, 0xFF303850);
      gfill(VIEW, 400, 300, volume * 480 / 100, 12, 0xFFE0A050);
      button(LABEL, 400, 360, 120, 64, hover == 0);
      button(LABEL + 1, 760, 360, 120, 64, hover == 1);
      button(LABEL + 2, 480, 480, 320, 64, hover == 2);
      show();
      drawn = hover;
    }
    sleep(16);
  }
  ini_seti("Sound", "Volume", volume);
  log_out("settings: volume %d written", volume);
  return 1;
}

// The title's buttons are sprites over the title picture, each with a hit
// area that hit_point finds under the pointer; sp_draw redraws only what
// changed. Their faces are rows of one sheet: plain, lit and dimmed.
int button_face(int row, int colour, int line, int level) {
  int y;
  y = row * 56;
  gclear(BUTTONS, box(0, y, 400, 53), 0xFF000000 | colour);
  gclear(BUTTONS, box(0, y + 53, 400, 3), 0xFF000000 | line);
  gcopy(BUTTONS, 0, y, LABEL + row / 3, 0, blit_mode(ALPHA, level));
  return 1;
}

int set_face(struct Sprite *s, int row) {
  s->source[0] = 0;
  s->source[1] = row * 56;
  s->source[2] = 400;
  s->source[3] = row * 56 + 56;
  s->flags = s->flags | CHANGED;
  return 1;
}

// The title: returns 0 for a new game, 1 to continue, -1 to quit. The
// buttons keep their places; Continue is dimmed while there is no save.
int title() {
  int hover, lit, can_continue, i, c;
  struct Sprite *buttons[3];
  struct Area *area;
  gload(PICTURE, "data\\title.bmp");
  gblit(BG, box(0, 0, W, H), PICTURE, 0, blit_mode(COPY, 0), 0);
  font_use(FONT_TITLE);
  gtext(BG, 400, 110, INK, "灯籠流し");
  font_use(FONT_SMALL);
  gtext(BG, 472, 230, INK, "The Lantern Festival");
  can_continue = save[0] == MAGIC && save[1] > 0;
  label(LABEL, 400, 56, FONT_BUTTON, 26, "はじめから  New game");
  label(LABEL + 1, 400, 56, FONT_BUTTON, 26, "つづきから  Continue");
  label(LABEL + 2, 400, 56, FONT_BUTTON, 26, "設定  Settings");
  galloc(BUTTONS, 400, 9 * 56, 32);
  for (i = 0; i < 3; i++) {
    button_face(3 * i, 0x182040, 0x6070A0, 255);
    button_face(3 * i + 1, 0xE09040, 0xFFE0A0, 255);
    button_face(3 * i + 2, 0x101828, 0x303850, 96);
  }
  sp_init(-1);
  sp_flag(0);
  sp_setbg(BG);
  for (i = 0; i < 3; i++) {
    buttons[i] = sp_set(0, 2, 440, 380 + i * 76, BUTTONS, box(0, 0, 400, 56), blit_mode(BLEND, 0xD0));
    set_face(buttons[i], 3 * i);
    if (i != 1 || can_continue) {
      hit_set(0, 1, buttons[i], 0, i + 1);  // the area covers the sprite; its value names the button
    } else {
      set_face(buttons[i], 3 * i + 2);
    }
  }
  lit = -1;
  while (1) {
    getpoint(point);
    area = hit_point(point[0], point[1], 1);
    hover = area ? area->value - 1 : -1;
    c = key_get();
    if (c == 27) break;
    if (c == 13) hover = can_continue;
    if (hover != lit) {
      if (lit >= 0) set_face(buttons[lit], 3 * lit);
      if (hover >= 0) set_face(buttons[hover], 3 * hover + 1);
      lit = hover;
    }
    sp_draw(-1, changed);
    if (changed[2] > changed[0]) show_rect(changed);
    if (hover >= 0 && ((point[3] & 0x10000) || c == 13)) break;
    sleep(16);
  }
  sp_init(-1);
  if (c == 27) return -1;
  click();
  if (hover < 2) return hover;
  settings();
  return title();
}

int main() {
  int thread, pick, first;

  log_out("Keva: the lantern festival");
  galloc(VIEW, W, H, 32);
  galloc(BG, W, H, 32);
  galloc(TEXT, 1120, 96, 32);
  galloc(NAME, 320, 36, 32);
  galloc(SHADE, 1, 1, 32);
  vpage(VIEW);
  apage(VIEW);
  if (!gload(HANA, "data\\hana.bmp")) return 1;
  set_font(FONT_LINE, "ＭＳ 明朝", 32);
  set_font(FONT_SMALL, "ＭＳ ゴシック", 24);
  set_font(FONT_TITLE, "ＭＳ 明朝", 96);
  set_font(FONT_BUTTON, "ＭＳ ゴシック", 26);
  key_init();

  if (snd_load(CLICK, "click.wav") != 1 || snd_load(VOICE, "data\\voice.ogg") != 1) {
    log_out("the sounds are missing");
    return 2;
  }
  // The music: the MIDI tune when there is a synthesiser to play it, else
  // the same tune recorded as an Ogg stream.
  if (midi_load("music.mid") == 1) {
    midi_repeat(1);
    midi_play(0);
    log_out("music: the MIDI tune");
  } else if (snd_loads(MUSIC, "music.ogg") == 1) {
    snd_play(MUSIC, 1);
    log_out("music: the Ogg stream");
  }
  set_volume(ini_geti("Sound", "Volume", 80));

  // The save lives in the documents folder, Keva\lantern\save.dat.
  if (!dir_getpath(5, save_path)) strcpy(save_path, "");
  strcat(save_path, "Keva\\lantern\\save.dat");
  if (sysfile(save_path, save, 16) && save[0] == MAGIC && save[1] > 0) log_out("a saved game is at step %d", save[1]);

  thread = thd_begin(typewriter, 0, 0, 0);
  pick = title();
  if (pick < 0) {
    log_out("quit from the title (%d frames drawn)", frames);
    exit();
    return 0;
  }
  first = 0;
  if (pick == 1) {
    first = save[1];
    set_scene(save[2]);
    log_out("continuing at step %d", first);
  } else {
    log_out("a new game");
  }
  if (play(first)) {
    log_out("saved at step %d; Continue on the title goes on from there (%d frames drawn)", save[1], frames);
    exit();
    return 0;
  }
  save[1] = 0;
  sysio(1);
  thd_end(thread);
  call("ending.c");
  log_out("the end: %d frames drawn", frames);
  exit();
  return 0;
}

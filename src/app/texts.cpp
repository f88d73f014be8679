#include "app/texts.h"

namespace sl::app {

const QStringList& Categories() {
  static const QStringList items{
      "blues", "classical", "country", "data", "folk", "jazz",
      "newage", "reggae", "rock", "soundtrack", "misc"};
  return items;
}

const QStringList& DetailedGenres() {
  static const QStringList items{
      "Acapella", "Acid", "Acid Jazz", "Acid Punk", "Acoustic", "Alternative",
      "Alternative Rock", "Ambient", "Anime", "Avantgarde", "Ballad", "Bass", "Beat", "Bebob",
      "Big Band", "Black Metal", "Bluegrass", "Blues", "Booty Bass", "BritPop", "Cabaret",
      "Celtic", "Chamber Music", "Chanson", "Chorus", "Christian Rock", "Christmas Gangsta Rap",
      "Christmas Rap", "Classic Rock", "Classical", "Club", "Club-House", "Comedy",
      "Contemporary Christian", "Country", "Crossover", "Cult", "Dance", "Dance Hall",
      "Darkwave", "Death Metal", "Disco", "Dream", "Drum Solo", "Drum&Bass", "Duet",
      "Easy Listening", "Electronic", "Ethnic", "Eurodance", "Euro-House", "Euro-Techno",
      "Fast Fusion", "Folk", "Folklore", "Folk-Rock", "Freestyle", "Funk", "Fusion", "Game",
      "Gangsta", "Goa", "Gospel", "Gothic", "Gothic Rock", "Grunge", "Hard Rock", "Hardcore",
      "Heavy Metal", "Hip-Hop", "House", "Humour", "Indie", "Industrial", "Instrumental",
      "Instrumental Pop", "Instrumental Rock", "Jazz", "Jazz+Funk", "Jpop", "Jungle", "Latin",
      "Lo-Fi", "Meditative", "Merengue", "Moemoe", "Musical", "National Folk", "Native US",
      "Negerpunk", "New Age", "New Wave", "Noise", "Oldies", "Opera", "Other", "Polka",
      "Polsk Punk", "Pop", "Pop/Funk", "Pop-Folk", "Porn Groove", "Power Ballad", "Pranks",
      "Primus", "Progressive Rock", "Psychadelic", "Psychedelic Rock", "Punk", "Punk Rock",
      "R&B", "Rap", "Rave", "Reggae", "Retro", "Revival", "Rhytmic Soul", "Rock", "Rock&Roll",
      "Salsa", "Samba", "Satire", "Seiyu", "Showtunes", "Ska", "Slow Jam", "Slow Rock", "Sonata",
      "Soul", "Sound Clip", "SoundTrack", "Southern Rock", "Space", "Speech", "Swing",
      "Symphonic Rock", "Symphony", "Tango", "Techno", "TechnoAmbient", "Techno-Industrial",
      "Terror", "Tokusatsu", "Top 40", "Trailer", "Trance", "Trash Metal", "Tribal", "Trip-Hop",
      "Vocal"};
  return items;
}

}  // namespace sl::app

// A small seeded generator (splitmix32-style mixing of a 32-bit state), so that
// one seed replays the same schedule of faults and the same choices of every client.

export class Random {
  constructor(seed) {
    this.state = seed >>> 0;
  }

  // A number in [0, 1).
  next() {
    this.state = (this.state + 0x9e3779b9) >>> 0;
    let z = this.state;
    z = Math.imul(z ^ (z >>> 16), 0x85ebca6b) >>> 0;
    z = Math.imul(z ^ (z >>> 13), 0xc2b2ae35) >>> 0;
    z = (z ^ (z >>> 16)) >>> 0;
    return z / 4294967296;
  }

  // An integer in [low, high].
  int(low, high) {
    return low + Math.floor(this.next() * (high - low + 1));
  }

  chance(p) {
    return this.next() < p;
  }

  pick(items) {
    return items[Math.floor(this.next() * items.length)];
  }

  // One of the keys of `weights`, chosen in proportion to its weight.
  weighted(weights) {
    const total = Object.values(weights).reduce((a, b) => a + b, 0);
    let x = this.next() * total;
    for (const [key, weight] of Object.entries(weights)) {
      x -= weight;
      if (x < 0) return key;
    }
    return Object.keys(weights).at(-1);
  }

  // A generator of its own for one user of the seed (a client, the schedule).
  fork(salt) {
    return new Random((this.state ^ Math.imul(salt + 1, 0x27d4eb2d)) >>> 0);
  }
}

// A bearer token as a CRM application may issue it: base64, with the characters
// that JSON writers and URLs encode ('/', '+', '=') in every one.
export function makeToken(random) {
  const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
  const chars = Array.from({ length: 31 }, () => alphabet[random.int(0, 63)]);
  chars[random.int(0, 9)] = '/';
  chars[random.int(10, 19)] = '+';
  return chars.join('') + '=';
}

import { headline } from './news.js';

document.title = headline(['Varnholt', 'news']);

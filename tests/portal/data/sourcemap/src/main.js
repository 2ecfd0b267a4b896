import { Settings } from './settings';
import { merge } from './merge';

var settings = new Settings('Varnholt');
document.title = merge({}, settings.shown()).title;
